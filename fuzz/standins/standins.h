// The in-process stand-ins that the fuzz targets link instead of the keychain, the dialogs and the
// GitHub CLI.
#pragma once

// Puts every stand-in back into its starting state, so that each input is judged on its own.
void resetStandins();
