// The in-process stand-ins that the fuzz targets link instead of the keychain, the dialogs and the
// GitHub CLI.
#pragma once

#include <cstdint>
#include <string>

// Puts every stand-in back into its starting state, so that each input is judged on its own.
void resetStandins();

// Picks how the GitHub CLI stand-in answers: the first state, the storage preparation, the sign-in's
// status and the state after it all follow from the number.
void chooseGitHubScenario(unsigned number);

// Makes every run of the GitHub CLI stand-in answer with this status and output.
void setGitHubCliAnswer(std::int32_t status, std::string bytes);
