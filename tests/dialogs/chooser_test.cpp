// The work-folder chooser, driven with keys on the test session's display.
#include "tests/dialogs/dialog_driver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

class FolderChooser : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_OUTSIDE_SESSION_SERVICES();
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

// Types `folder` into the chooser's location field until the field holds it, as select-all and copy read
// it back, and tells whether it does. xdotool types a letter that is not in the keymap by remapping a key
// for it, and on a busy machine a letter can get lost on the way; Return on a folder whose parent is not
// there opens an error over the chooser, which then never answers. The field completes a folder's name
// with a "/" of its own, and the next typing replaces what the copy left selected.
bool typeFolder(const std::string& window, const std::string& folder) {
    pressKeys(window, {"ctrl+l"});
    for (int typing = 0; typing < 5; ++typing) {
        typeText(window, folder);
        auto held = copiedText(window, {"ctrl+a", "ctrl+c"});
        if (held == folder || held == folder + "/")
            return true;
    }
    return false;
}

// Opens the chooser for the request, types `folder` into its location field and chooses it; cancels
// when the field cannot be made to hold it.
ProgramRun chooseByTyping(const Json& request, const std::string& folder) {
    return runWithWindow({.program = bundleProgram("helper"), .input = request.dump()},
                         [&](const std::string& window) {
                             pressKeys(window, {typeFolder(window, folder) ? "Return" : "Escape"});
                         });
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
        // Links stay as typed, every "/" is escaped, and the letters arrive as UTF-8.
        auto run = chooseByTyping({{"operation", "choose-folder"}, {"language", "en"}}, folder);
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
        std::string shownTitle;
        auto run = runWithWindow({.program = bundleProgram("helper"), .input = request.dump()},
                                 [&](const std::string& window) {
                                     shownTitle = windowName(window);
                                     pressKeys(window, {"Escape"});
                                 });
        EXPECT_EQ(shownTitle, title) << request.dump();
        // Cancelling is an answer, not a failure.
        EXPECT_EQ(run.out, R"({"ok":true,"path":null})") << request.dump();
        EXPECT_EQ(run.err, "");
    }
}

// The libraries that one helper run loaded, as the dynamic loader reports them: those it links and those
// it opens later alike.
std::string librariesLoadedBy(const std::string& request, const std::vector<std::string>& environment) {
    auto scratch = makeScratchFolder("loaded");
    auto changed = environment;
    changed.push_back("LD_DEBUG=files");
    changed.push_back("LD_DEBUG_OUTPUT=" + scratch + "/ld");
    runProgram({.program = bundleProgram("helper"), .input = request, .environment = changed});
    std::string loaded;
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
        std::ifstream file(entry.path());
        loaded += std::string(std::istreambuf_iterator<char>(file), {});
    }
    std::filesystem::remove_all(scratch);
    return loaded;
}

TEST_F(FolderChooser, OnlyTheDialogOperationsLoadTheToolkitAndOnlyTheRecordOnesTheKeychain) {
    const std::string account(64, 'c');
    for (const std::string& request : std::vector<std::string>{
             R"({"operation":"exists","account":")" + account + R"("})",
             R"({"operation":"read","account":")" + account + R"("})", R"({"operation":"github-status"})",
             R"({"operation":"confirm-project-command"})", "[]"}) {
        auto loaded = librariesLoadedBy(request, environmentWith({}));
        EXPECT_NE(loaded.find("libc.so"), std::string::npos) << request;
        for (const auto* library : {"libgtk", "libgdk", "dovrel-dialogs"})
            EXPECT_EQ(loaded.find(library), std::string::npos) << request << " loaded " << library;
        bool record = request.find("account") != std::string::npos;
        EXPECT_EQ(loaded.find("dovrel-keychain") != std::string::npos, record) << request;
    }
    auto dialog = librariesLoadedBy(R"({"operation":"choose-folder"})", environmentWithoutDisplay());
    EXPECT_NE(dialog.find("libgtk-3"), std::string::npos);

    // And a helper that shows a chooser has it mapped while the chooser is open.
    std::string whileShown;
    runWithWindow(
        {.program = bundleProgram("helper"), .input = R"({"operation":"choose-folder"})"},
        [&](const std::string& window) {
            auto pid = runProgram({.program = "/usr/bin/xdotool", .arguments = {"getwindowpid", window}}).out;
            std::ifstream maps("/proc/" + pid.substr(0, pid.find('\n')) + "/maps");
            whileShown = std::string(std::istreambuf_iterator<char>(maps), {});
            pressKeys(window, {"Escape"});
        });
    EXPECT_NE(whileShown.find("libgtk-3"), std::string::npos);
}

// The name of the program that drew the window.
std::string drawnBy(const std::string& window) {
    auto pid = runProgram({.program = "/usr/bin/xdotool", .arguments = {"getwindowpid", window}}).out;
    std::ifstream comm("/proc/" + pid.substr(0, pid.find('\n')) + "/comm");
    return std::string(std::istreambuf_iterator<char>(comm), {});
}

// The version of the file chooser portal's interface that a bus of this configuration offers; 0 for none.
unsigned portalChooserVersion(const std::string& busConfig) {
    auto run = runProgram(
        {.program = "/usr/bin/dbus-run-session",
         .arguments = {"--config-file=" + busConfig, "--", "/usr/bin/gdbus", "call", "--session", "--dest",
                       "org.freedesktop.portal.Desktop", "--object-path", "/org/freedesktop/portal/desktop",
                       "--method", "org.freedesktop.DBus.Properties.Get",
                       "org.freedesktop.portal.FileChooser", "version"}});
    auto at = run.out.find("uint32 "); // "(<uint32 3>,)"
    return at == std::string::npos ? 0 : std::stoul(run.out.substr(at + 7));
}

TEST_F(FolderChooser, OpensAtHomeAndTakesTheTypedFolderWhereTheSessionOffersThePortal) {
    const char* portalSession = std::getenv("DOVREL_PORTAL_SESSION_CONFIG");
    if (portalSession == nullptr)
        GTEST_SKIP() << "needs the portal session of scripts/with-session-services";
    const std::string home = scratch + "/home", typed = scratch + "/typed work";
    std::filesystem::create_directory(home);
    std::filesystem::create_directory(typed);
    // The desktop's own chooser, drawn by the portal's GTK backend, only where the portal can open it in
    // a given folder (version 4); GTK's own, drawn by helper, before (Debian 12's portal is at 3).
    const bool desktops = portalChooserVersion(portalSession) >= 4;
    std::string title;
    bool drawnByPortal = !desktops;
    auto answer = [&](const std::string& language, const std::string& typing, const std::string& key) {
        // A bus of its own that offers the portal, with `home` as everybody's home. GTK's chooser keeps its
        // settings in memory: a settings service activated on a bus that ends with the run outlives it, and
        // the next run's would wait minutes for its start.
        ProgramCall call{
            .program = "/usr/bin/dbus-run-session",
            .arguments = {std::string("--config-file=") + portalSession, "--", bundleProgram("helper")},
            .input = Json{{"operation", "choose-folder"}, {"language", language}}.dump(),
            .environment = environmentWith({"HOME=" + home, "GSETTINGS_BACKEND=memory"})};
        return runWithWindow(
            call,
            [&](const std::string& window) {
                title = windowName(window);
                drawnByPortal = drawnBy(window).starts_with("xdg-desktop-por");
                // The other chooser is dismissed: it may never answer the keys.
                if (drawnByPortal != desktops)
                    return pressKeys(window, {"Escape"});
                if (!typing.empty() && !typeFolder(window, typing))
                    return pressKeys(window, {"Escape"});
                pressKeys(window, {key});
            },
            "Dovrel|Xdg-desktop-portal-gtk");
    };

    // Return chooses the folder it opens in, and a typed one.
    EXPECT_EQ(answer("en", "", "Return").out, "{\"ok\":true,\"path\":\"" + escapedSolidus(home) + "\"}");
    EXPECT_EQ(title, "Choose a work folder for Dovrel");
    EXPECT_EQ(drawnByPortal, desktops);
    EXPECT_EQ(answer("en", typed, "Return").out, "{\"ok\":true,\"path\":\"" + escapedSolidus(typed) + "\"}");
    EXPECT_EQ(answer("zh-CN", "", "Escape").out, R"({"ok":true,"path":null})");
    EXPECT_EQ(title, "选择要让 Dovrel 使用的工作文件夹");
}

TEST(FolderChooserWithoutDisplay, AChooserThatCannotBeShownIsNoAnswer) {
    auto run = runProgram({.program = bundleProgram("helper"),
                           .input = R"({"operation":"choose-folder","language":"en"})",
                           .environment = environmentWithoutDisplay()});
    EXPECT_EQ(run.out, failureReplyText);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
}

} // namespace
