// Test control of the registry store: the tests run against a key of their own so that
// a real user's settings are never touched. The product never calls it.
#pragma once

// Every key the settings open is opened at path instead; nullptr restores the key asked
// for.
void SettingsRegistryUseKeyPath(const char* path);
