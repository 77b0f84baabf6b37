// The work-folder chooser, driven with keys on the test session's display.
#include "tests/dialogs/dialog_driver.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

class FolderChooser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSessionServices())
            GTEST_SKIP() << "needs the display of scripts/with-session-services";
        scratch = makeScratchFolder("chooser");
    }
    void TearDown() override {
        if (!scratch.empty())
            std::filesystem::remove_all(scratch);
    }
    std::string scratch;
};

std::string escapedSolidus(std::string text) {
    for (size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 2))
        text.replace(at, 1, "\\/");
    return text;
}

// Opens the chooser for the request, types `folder` into its location field and chooses it.
ProgramRun chooseByTyping(const Json& request, const std::string& folder) {
    auto helper = startProgram({.program = bundleProgram("helper"), .input = request.dump()});
    auto window = windowOf(helper.pid);
    EXPECT_NE(window, "");
    if (!window.empty()) {
        pressKeys(window, {"ctrl+l"});
        typeText(window, folder);
        pressKeys(window, {"Return"});
    }
    return finishProgram(helper);
}

TEST_F(FolderChooser, AnswersTheTypedFolderAsGiven) {
    const std::string plain = scratch + "/work";
    // Lower-case letters only: xdotool types letters missing from the keymap in lower case.
    const std::string spaced = scratch + "/My Work/專案 ünïcode";
    std::filesystem::create_directories(plain);
    std::filesystem::create_directories(spaced);
    std::filesystem::create_directory_symlink(scratch + "/My Work", scratch + "/shortcut");
    const std::string throughLink = scratch + "/shortcut/專案 ünïcode";

    for (const auto& folder : {plain, spaced, throughLink}) {
        auto run = chooseByTyping({{"operation", "choose-folder"}, {"language", "en"}}, folder);
        // Links stay as typed, every "/" is escaped, and the letters arrive as UTF-8.
        EXPECT_EQ(run.out, "{\"ok\":true,\"path\":\"" + escapedSolidus(folder) + "\"}");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 0);
    }
}

TEST_F(FolderChooser, TitleFollowsTheLanguageExactly) {
    const std::string english = "Choose a work folder for Dovrel";
    const std::string simplified = "选择要让 Dovrel 使用的工作文件夹";
    const std::string traditional = "選擇要讓 Dovrel 使用的工作資料夾";
    // No language at all is the first case.
    const std::vector<std::pair<std::optional<Json>, std::string>> cases = {
        {std::nullopt, traditional}, {"en", english},
        {"zh-CN", simplified},       {"en-US", traditional},
        {"EN", traditional},         {"zh-cn", traditional},
        {"zh-TW", traditional},      {"zh", traditional},
        {"", traditional},           {7, traditional},
        {nullptr, traditional},      {Json::array({"en"}), traditional}};
    for (const auto& [language, title] : cases) {
        Json request{{"operation", "choose-folder"}};
        if (language)
            request["language"] = *language;
        auto helper = startProgram({.program = bundleProgram("helper"), .input = request.dump()});
        auto window = windowOf(helper.pid);
        EXPECT_EQ(windowName(window), title) << request.dump();
        if (!window.empty())
            pressKeys(window, {"Escape"});
        auto run = finishProgram(helper);
        // Cancelling is an answer, not a failure.
        EXPECT_EQ(run.out, R"({"ok":true,"path":null})") << request.dump();
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(FolderChooser, OnlyTheShownChooserLoadsTheToolkit) {
    auto mapsOf = [](pid_t pid) {
        std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
        return std::string(std::istreambuf_iterator<char>(maps), {});
    };
    // A helper blocked on its request has everything mapped that it will ever link.
    auto waiting = startProgram({.program = bundleProgram("helper")}, true);
    auto beforeRequest = mapsOf(waiting.pid);
    EXPECT_EQ(finishProgram(waiting).out, R"({"ok":false})");
    EXPECT_NE(beforeRequest.find("/helper"), std::string::npos);
    EXPECT_EQ(beforeRequest.find("libgtk"), std::string::npos);
    EXPECT_EQ(beforeRequest.find("libgdk"), std::string::npos);
    EXPECT_EQ(beforeRequest.find("dovrel-dialogs"), std::string::npos);

    auto choosing =
        startProgram({.program = bundleProgram("helper"), .input = R"({"operation":"choose-folder"})"});
    auto window = windowOf(choosing.pid);
    auto whileShown = mapsOf(choosing.pid);
    if (!window.empty())
        pressKeys(window, {"Escape"});
    finishProgram(choosing);
    EXPECT_NE(whileShown.find("libgtk-3"), std::string::npos);
}

TEST(FolderChooserWithoutDisplay, AChooserThatCannotBeShownIsNoAnswer) {
    auto run = runProgram({.program = bundleProgram("helper"),
                           .input = R"({"operation":"choose-folder","language":"en"})",
                           .environment = environmentWithoutDisplay(),
                           .timeout = std::chrono::seconds(20)});
    EXPECT_EQ(run.out, R"({"ok":false})");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
}

} // namespace
