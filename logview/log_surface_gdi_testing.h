// Test access to the GDI surfaces (Windows only); the product never calls it. Surfaces
// take the first free of a few slots, so a view created while no other surface is alive
// has its info area in slot 0 and its log area in slot 1.
#pragma once

#include "logview/log_surface.h"

#define GDI_SURFACE_SLOTS 4

// The colour of one pixel of the surface in slot; 0 when the slot is empty or the pixel
// lies outside the surface.
int LogSurfaceGdiPixel(int slot, int x, int y, LogColour* colour);
