// Fault injection for the heap primitives: tests make an allocation fail to see that
// what was obtained before it is given back. Only tests call this; the product never does.
#pragma once

// Makes the next `count` allocations succeed and every later one fail, until called again
// with a negative count (the default: never fail).
void PlatformHeapFailAfter(int count);
