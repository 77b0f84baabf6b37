// In-process stand-ins for the keychain, the dialogs and the GitHub CLI, as tables that the fuzz targets
// hand to the code under test in place of the real ones.
#pragma once

#include "github/github.h"
#include "platform/dialogs/plugin.h"
#include "platform/keychain/plugin.h"

#include <cstdint>
#include <string>

// An in-memory keychain.
const KeychainFunctions* keychainStandin();
// Dialogs that answer at once, without a display.
const DialogFunctions* dialogsStandin();
// A GitHub CLI answered from the chosen scenario.
const GitHubCli& gitHubCliStandin();

// Puts every stand-in back into its starting state, so that each input is judged on its own.
void resetStandins();

// Picks how the GitHub CLI stand-in answers: the first state, the storage preparation, the sign-in's
// status and the state after it all follow from the number.
void chooseGitHubScenario(unsigned number);

// Makes every run of the GitHub CLI stand-in exit with this status and output.
void setGitHubCliAnswer(std::int32_t status, std::string bytes);
