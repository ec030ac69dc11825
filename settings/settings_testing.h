// What tests and the fuzz target need of the settings beyond loading and saving them.
#pragma once

#include "settings/settings.h"

// Puts every field back to the value it has before loading, so that each case starts
// from the state of a fresh process.
void SettingsReset(void);
