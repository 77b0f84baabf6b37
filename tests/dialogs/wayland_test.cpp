// The dialogs under a headless Wayland compositor (sway), driven with wtype: the same answers as under
// X11, and what the compositor shows of them.
#include "tests/dialogs/wayland_session.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using Json = nlohmann::json;

const std::string nonce = "0123456789abcdef0123456789abcdef0123456789abcdef";

class Wayland : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_OUTSIDE_SESSION_SERVICES();
        auto started = startWaylandSession();
        if (!started)
            GTEST_SKIP() << "sway could not start here";
        session = *started;
        scratch = makeScratchFolder("wayland-chooser");
    }
    void TearDown() override {
        stopWaylandSession(session);
        if (!scratch.empty())
            std::filesystem::remove_all(scratch);
    }

    ProgramRun helper(const Json& request, const std::function<void(const Json&)>& act) {
        auto run = runWithWaylandWindow(session,
                                        {.program = bundleProgram("helper"),
                                         .input = request.dump(),
                                         .environment = waylandEnvironment(session)},
                                        act);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 0);
        return run;
    }

    // A close from the compositor, as its key binding or a panel's close button sends it.
    void closeFromCompositor(const Json& window) {
        swaymsg(session, {"[con_id=" + std::to_string(window["id"].get<long>()) + "]", "kill"});
    }

    WaylandSession session;
    std::string scratch;
};

TEST_F(Wayland, TheChooserIsTitledAndAnswersAsUnderX11) {
    for (const auto& [language, title] :
         std::vector<std::pair<Json, std::string>>{{"en", "Choose a work folder for Dovrel"},
                                                   {"zh-CN", "选择要让 Dovrel 使用的工作文件夹"},
                                                   {"zh-TW", "選擇要讓 Dovrel 使用的工作資料夾"}}) {
        std::string shown;
        auto run = helper({{"operation", "choose-folder"}, {"language", language}}, [&](const Json& window) {
            shown = window["name"];
            sendWaylandKeys(session, {"-k", "Escape"});
        });
        EXPECT_EQ(shown, title);
        EXPECT_EQ(run.out, R"({"ok":true,"path":null})");
    }

    // The chooser opens on the home folder, and Return chooses the folder it shows.
    const std::string folder = scratch + "/My Work/專案 ünïcode";
    std::filesystem::create_directories(folder);
    auto environment =
        environmentWith({"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY=" + session.socket, "HOME=" + folder});
    auto chosen = runWithWaylandWindow(session,
                                       {.program = bundleProgram("helper"),
                                        .input = R"({"operation":"choose-folder","language":"en"})",
                                        .environment = environment},
                                       [&](const Json&) {
                                           sendWaylandKeys(session, {"-k", "Return"});
                                       });
    std::string escaped = folder;
    for (size_t at = escaped.find('/'); at != std::string::npos; at = escaped.find('/', at + 2))
        escaped.replace(at, 1, "\\/");
    EXPECT_EQ(chosen.out, "{\"ok\":true,\"path\":\"" + escaped + "\"}");

    auto closed =
        helper({{"operation", "choose-folder"}}, [&](const Json& window) { closeFromCompositor(window); });
    EXPECT_EQ(closed.out, R"({"ok":true,"path":null})");
}

TEST_F(Wayland, TheConfirmationFloatsTakesTheKeyboardAndOnlyTheSecondButtonApproves) {
    const Json request{{"operation", "confirm-project-command"}, {"action", "test"},      {"nonce", nonce},
                       {"cwd", "/home/someone/project"},         {"command", "npm test"}, {"script", ""}};
    auto answer = [](bool approved) {
        return std::string(R"({"approved":)") + (approved ? "true" : "false") + R"(,"nonce":")" + nonce +
               R"(","ok":true})";
    };
    auto withKeys = [&](const std::vector<std::string>& keys) {
        std::string type;
        auto run = helper(request, [&](const Json& window) {
            type = window["type"];
            sendWaylandKeys(session, keys);
        });
        // An alert of a fixed size floats above the tiled windows, where sway keeps it.
        EXPECT_EQ(type, "floating_con");
        return run.out;
    };
    EXPECT_EQ(withKeys({"-k", "Return"}), answer(false));
    EXPECT_EQ(withKeys({"-k", "Escape"}), answer(false));
    EXPECT_EQ(withKeys({"-k", "Tab", "-k", "space"}), answer(true));
    EXPECT_EQ(withKeys({"-k", "Tab", "-k", "Return"}), answer(false));
    auto closed = helper(request, [&](const Json& window) { closeFromCompositor(window); });
    EXPECT_EQ(closed.out, answer(false));
}

} // namespace
