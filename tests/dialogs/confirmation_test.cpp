// The project command confirmation: strict checks before any window, then one modal alert driven with
// keys on the test session's display.
#include "tests/dialogs/dialog_driver.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using Json = nlohmann::json;

const std::string nonce = "0123456789abcdef0123456789abcdef0123456789abcdef";

Json validRequest() {
    return {{"operation", "confirm-project-command"}, {"action", "test"},      {"nonce", nonce},
            {"cwd", "/home/someone/project"},         {"command", "npm test"}, {"script", "jest"}};
}

Json with(Json request, const std::string& member, const Json& value) {
    request[member] = value;
    return request;
}

Json without(Json request, const std::string& member) {
    request.erase(member);
    return request;
}

std::string repeated(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

std::string answer(bool approved) {
    return std::string(R"({"approved":)") + (approved ? "true" : "false") + R"(,"nonce":")" + nonce +
           R"(","ok":true})";
}

class Confirmation : public ::testing::Test {
protected:
    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }
};

// Shows the alert for the request, lets `act` answer it, and returns the helper's whole run.
ProgramRun confirm(const Json& request, const std::function<void(const std::string&)>& act) {
    auto run = runWithWindow({.program = bundleProgram("helper"), .input = request.dump()}, act);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
    return run;
}

ProgramRun confirmWithKeys(const Json& request, const std::vector<std::string>& keys) {
    return confirm(request, [&](const std::string& window) { pressKeys(window, keys); });
}

TEST_F(Confirmation, EveryBrokenRuleIsRefusedBeforeAnyWindow) {
    const auto base = validRequest();
    const std::vector<Json> refused = {
        with(base, "action", "Test"),
        with(base, "action", "TEST"),
        with(base, "action", "test "),
        with(base, "action", "deploy"),
        with(base, "action", nullptr),
        without(base, "action"),
        with(base, "nonce", nonce.substr(1)),
        with(base, "nonce", nonce + "a"),
        with(base, "nonce", "0123456789ABCDEF0123456789abcdef0123456789abcdef"),
        with(base, "nonce", nonce + "\n"),
        with(base, "nonce", 12345),
        without(base, "nonce"),
        with(base, "cwd", "home/someone"),
        with(base, "cwd", "~/project"),
        with(base, "cwd", ""),
        with(base, "cwd", "/a\nb"),
        with(base, "cwd", "/a\rb"),
        with(base, "cwd", "/a\r\nb"),
        with(base, "cwd", std::string("/a\0b", 4)),
        with(base, "cwd", "/" + std::string(4096, 'a')),
        with(base, "cwd", Json::array({"/"})),
        with(base, "command", std::string(4097, 'x')),
        with(base, "command", repeated("\xe4\xb8\xad", 4097)),
        without(base, "command"),
        with(base, "command", false),
        with(base, "script", repeated("s", 2001)),
        without(base, "script"),
        with(base, "script", nullptr)};
    for (const auto& request : refused) {
        // A window would keep the helper waiting for the user, so a refusal must also be prompt.
        auto run = runProgram({.program = bundleProgram("helper"), .input = request.dump()});
        EXPECT_EQ(run.out, failureReplyText) << request.dump().substr(0, 120);
        EXPECT_FALSE(run.timedOut) << request.dump().substr(0, 120);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 0);
    }
}

TEST_F(Confirmation, LimitsCountUserPerceivedCharacters) {
    const auto base = validRequest();
    const std::string combiningE = "e\xcc\x81";                  // one character of two code points
    const std::string flag = "\xf0\x9f\x87\xb9\xf0\x9f\x87\xbc"; // one character of two regional indicators
    const std::vector<Json> accepted = {
        with(base, "cwd", "/" + repeated(combiningE, 4095)),
        with(base, "command", repeated("\xe4\xb8\xad", 4096)), with(base, "command", repeated("\r\n", 4096)),
        with(base, "script", repeated(flag, 2000)), with(with(base, "script", ""), "cwd", "/no/such/folder")};
    for (const auto& request : accepted)
        EXPECT_EQ(confirmWithKeys(request, {"Escape"}).out, answer(false));

    for (const auto& request :
         {with(base, "cwd", "/" + repeated(combiningE, 4096)), with(base, "script", repeated(flag, 2001))}) {
        auto run = runProgram({.program = bundleProgram("helper"), .input = request.dump()});
        EXPECT_EQ(run.out, failureReplyText);
    }
}

TEST_F(Confirmation, OnlyTheSecondButtonApproves) {
    auto request = validRequest();
    EXPECT_EQ(confirmWithKeys(request, {"Return"}).out, answer(false));
    EXPECT_EQ(confirmWithKeys(request, {"KP_Enter"}).out, answer(false));
    EXPECT_EQ(confirmWithKeys(request, {"Escape"}).out, answer(false));
    // "取消" starts with the focus and "允許這一次" follows it.
    EXPECT_EQ(confirmWithKeys(request, {"space"}).out, answer(false));
    EXPECT_EQ(confirmWithKeys(request, {"Tab", "space"}).out, answer(true));
    // Return answers "取消" even while "允許這一次" has the focus.
    EXPECT_EQ(confirmWithKeys(request, {"Tab", "Return"}).out, answer(false));
    auto closed = confirm(request, [](const std::string& window) {
        runProgram({.program = "/usr/bin/xdotool", .arguments = {"windowclose", window}});
    });
    EXPECT_EQ(closed.out, answer(false));
    // Closed by the window manager (its Alt+F4), as a user closes any window.
    EXPECT_EQ(confirmWithKeys(request, {"alt+F4"}).out, answer(false));
}

TEST_F(Confirmation, IsAModalAlertKeptAboveOtherWindows) {
    std::string state, type;
    confirm(validRequest(), [&](const std::string& window) {
        state = windowProperty(window, "_NET_WM_STATE");
        type = windowProperty(window, "_NET_WM_WINDOW_TYPE");
        pressKeys(window, {"Escape"});
    });
    EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
    EXPECT_NE(state.find("_NET_WM_STATE_MODAL"), std::string::npos) << state;
    EXPECT_NE(type.find("_NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << type;
}

TEST_F(Confirmation, ShowsTheFolderCommandAndScriptExactly) {
    auto request = validRequest();
    request["cwd"] = "/home/someone/My Work/專案";
    request["command"] = std::string("npm ci\nnpm test -- --watch=false \"$X\"") + '\0' + "; rm -rf ~";
    request["script"] = "preinstall: node setup.js\ntest: jest";
    std::string copied, informative, message;
    confirm(request, [&](const std::string& window) {
        // Backwards from "取消": the text area, then the informative text and the message, each
        // selected whole when it takes the focus.
        copied = copiedText(window, {"shift+Tab", "ctrl+a", "ctrl+c"});
        informative = copiedText(window, {"shift+Tab", "ctrl+c"});
        message = copiedText(window, {"shift+Tab", "ctrl+c"});
        pressKeys(window, {"Escape"});
    });
    EXPECT_EQ(message, "允許 Dovrel 執行這次專案指令？");
    EXPECT_EQ(informative,
              "指令可能修改檔案、連上網路，並執行專案的其他程式。它使用你的 Mac "
              "帳號權限，不是只能碰此資料夾的沙箱。只允許你信任的專案；此次選擇不會記成永久允許。");
    // The NUL is shown as its visible symbol, so nothing after it is hidden from the user.
    EXPECT_EQ(
        copied,
        "工作資料夾：\n/home/someone/My Work/專案\n\n指令：\nnpm ci\nnpm test -- --watch=false "
        "\"$X\"\xe2\x90\x80; rm -rf ~\n\n專案腳本摘要（執行包含前後置步驟與子程序）：\npreinstall: node "
        "setup.js\ntest: jest");

    request["script"] = "";
    confirm(request, [&](const std::string& window) {
        copied = copiedText(window, {"shift+Tab", "ctrl+a", "ctrl+c"});
        pressKeys(window, {"Escape"});
    });
    EXPECT_TRUE(copied.ends_with("rm -rf ~")) << copied;
    EXPECT_EQ(copied.find("專案腳本摘要"), std::string::npos);
}

TEST_F(Confirmation, AScreenReaderHearsWhatRunsInOrderAndTheDefaultAnswer) {
    const std::string override = "\xe2\x80\xae", isolate = "\xe2\x81\xa6", zeroWidthSpace = "\xe2\x80\x8b";
    const std::string lineSeparator = "\xe2\x80\xa8", paragraphSeparator = "\xe2\x80\xa9",
                      nextLine = "\xc2\x85";
    auto request = validRequest();
    request["cwd"] = "/home/someone/" + override + "evil" + zeroWidthSpace + "dir";
    request["command"] =
        "ls -la " + override + "; rm -rf ~ #" + zeroWidthSpace + lineSeparator + "\x1b[8m" + nextLine;
    request["script"] = "test: " + isolate + "jest" + zeroWidthSpace + paragraphSeparator;
    auto run = runProgram(
        {.program = "/usr/bin/python3",
         .arguments = {fixturesPath() + "/accessible-dialog.py", bundleProgram("helper"), request.dump()}});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    auto heard = Json::parse(run.out);
    EXPECT_EQ(heard["reply"], answer(false));
    const std::string message = "允許 Dovrel 執行這次專案指令？";
    EXPECT_EQ(heard["title"], message);
    // Read before and after one Tab: the focus moves to "允許這一次", the default stays with "取消".
    for (const auto* moment : {"before", "after"}) {
        const auto& dialog = heard[moment];
        EXPECT_EQ(dialog["alert"]["name"], message) << moment;
        EXPECT_EQ(dialog["area"]["name"], "工作資料夾與指令") << moment;
        EXPECT_EQ(
            dialog["area"]["text"],
            "工作資料夾：\n/home/someone/⟨U+202E⟩evil⟨U+200B⟩dir\n\n指令：\nls -la ⟨U+202E⟩; rm -rf ~ "
            "#⟨U+200B⟩⟨U+2028⟩⟨U+001B⟩[8m⟨U+0085⟩\n\n專案腳本摘要（執行包含前後置步驟與子程序）：\ntest: "
            "⟨U+2066⟩jest⟨U+200B⟩⟨U+2029⟩")
            << moment;
        EXPECT_EQ(dialog["buttons"], Json::parse(std::string(R"([{"name":"取消","default":true,"focused":)") +
                                                 (moment == std::string("before") ? "true" : "false") +
                                                 R"(},{"name":"允許這一次","default":false,"focused":)" +
                                                 (moment == std::string("before") ? "false" : "true") + "}]"))
            << moment;
    }
}

// A screenshot of a window in 8-bit grey levels.
struct Shot {
    int width = 0;
    int height = 0;
    std::string pixels;
    bool inked(int x, int y) const { return static_cast<unsigned char>(pixels[y * width + x]) < 128; }
};

Shot windowShot(const std::string& window) {
    auto run = runProgram({.program = "/usr/bin/import",
                           .arguments = {"-window", window, "-colorspace", "gray", "-depth", "8", "pgm:-"}});
    Shot shot;
    std::istringstream header(run.out);
    std::string magic;
    int maximum = 0;
    header >> magic >> shot.width >> shot.height >> maximum;
    auto size = static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height);
    if (magic == "P5" && header && run.out.size() >= size)
        shot.pixels = run.out.substr(run.out.size() - size);
    return shot;
}

// The text area in a screenshot: from the first to the last row that holds a long run of pure white,
// its background; the button below holds only short ones, its white label.
struct Area {
    int left = 0, top = 0, right = -1, bottom = -1;
};

Area textArea(const Shot& shot) {
    Area area{shot.width, -1, -1, -1};
    for (int y = 0; y < shot.height; ++y) {
        int run = 0, longest = 0, end = 0;
        for (int x = 0; x < shot.width; ++x) {
            run = static_cast<unsigned char>(shot.pixels[y * shot.width + x]) == 255 ? run + 1 : 0;
            if (run > longest)
                longest = run, end = x;
        }
        if (longest < 300)
            continue;
        if (area.top < 0)
            area.top = y;
        area.bottom = y;
        area.left = std::min(area.left, end - longest + 1), area.right = std::max(area.right, end);
    }
    return area;
}

bool inkedInRightHalf(const Shot& shot, const Area& area, int y) {
    for (int x = (area.left + area.right) / 2; x < area.right; ++x)
        if (shot.inked(x, y))
            return true;
    return false;
}

// The first line of the area that reaches its right half, the first wrapped line of a long command:
// how many letters "v" it holds, each touching the baseline at one point. 0 when there is none.
int lettersOnFirstFullLine(const Shot& shot) {
    auto area = textArea(shot);
    int y = area.top;
    while (y < area.bottom && !inkedInRightHalf(shot, area, y))
        ++y;
    while (y + 1 < area.bottom && inkedInRightHalf(shot, area, y + 1))
        ++y;
    int letters = 0;
    for (int x = area.left; x < area.right; ++x)
        letters += shot.inked(x, y) && !shot.inked(x - 1, y) ? 1 : 0;
    return y < area.bottom ? letters : 0;
}

bool areaDrawn(const Shot& shot) {
    auto area = textArea(shot);
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (shot.inked(x, y))
                return true;
    return false;
}

TEST_F(Confirmation, LongWordsWrapWithNothingAddedAndEveryLineRunsLeftToRight) {
    const auto base = with(with(validRequest(), "cwd", "/"), "script", "");
    auto shoot = [&](const std::string& command) {
        Shot shot;
        confirm(with(base, "command", command), [&](const std::string& window) {
            eventually([&] {
                shot = windowShot(window);
                return areaDrawn(shot);
            });
            pressKeys(window, {"Escape"});
        });
        return shot;
    };
    const std::string word(300, 'v');
    auto wrapped = shoot(word);
    auto perLine = static_cast<size_t>(lettersOnFirstFullLine(wrapped));
    ASSERT_GT(perLine, 20u);
    // The same letters broken into lines of that many by the request itself: had the wrap added a
    // character at each break, such as a hyphen, the two pictures would differ.
    std::string broken;
    for (size_t at = 0; at < word.size(); at += perLine)
        broken += (at == 0 ? "" : "\n") + word.substr(at, perLine);
    auto explicitLines = shoot(broken);
    EXPECT_EQ(wrapped.width, explicitLines.width);
    EXPECT_TRUE(wrapped.pixels == explicitLines.pixels) << perLine << " letters a line";

    // A line that starts with Hebrew letters is still laid out from the left, in the order it runs;
    // laid out from the right, it would fill the area's right half.
    auto hebrew = shoot("\xd7\x90\xd7\x91 ; rm -rf ~ ; \xd7\x92\xd7\x93");
    auto area = textArea(hebrew);
    for (int y = area.top; y < area.bottom; ++y)
        ASSERT_FALSE(inkedInRightHalf(hebrew, area, y)) << "row " << y - area.top;
}

TEST_F(Confirmation, OneCharacterOfAThousandAccentsIsShownShortened) {
    // Within the limits by count, yet laying it out whole would keep the dialog from appearing for minutes.
    const std::string accent = "\xcc\x81";
    auto request = with(validRequest(), "command", "a" + repeated(accent, 300000));
    std::string copied;
    auto run = confirm(request, [&](const std::string& window) {
        copied = copiedText(window, {"shift+Tab", "ctrl+a", "ctrl+c"});
        pressKeys(window, {"Escape"});
    });
    EXPECT_EQ(run.out, answer(false));
    EXPECT_NE(copied.find("\n\n指令：\na" + repeated(accent, 15) + "\xef\xbf\xbd\n\n"), std::string::npos)
        << copied.size();
}

TEST(ConfirmationWithoutDisplay, AnAlertThatCannotBeShownIsNoAnswer) {
    for (const auto& environment : {environmentWithoutDisplay(),
                                    environmentWith({"DISPLAY=:65000", "WAYLAND_DISPLAY", "XAUTHORITY"})}) {
        auto run = runProgram(
            {.program = bundleProgram("helper"), .input = validRequest().dump(), .environment = environment});
        EXPECT_EQ(run.out, failureReplyText);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 0);
    }
}

} // namespace
