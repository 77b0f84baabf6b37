// The two operations that ask the user: choosing a work folder and allowing one run of a project command.
#include "helper/operations.h"

#include "platform/dialogs/dialogs.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

namespace {

FolderChooser chooserTexts(const std::optional<std::string>& language) {
    if (language == "en")
        return {.title = "Choose a work folder for Dovrel", .cancel = "Cancel", .select = "Select"};
    if (language == "zh-CN")
        return {.title = "选择要让 Dovrel 使用的工作文件夹", .cancel = "取消", .select = "选择"};
    return {.title = "選擇要讓 Dovrel 使用的工作資料夾", .cancel = "取消", .select = "選擇"};
}

constexpr std::array<std::string_view, 7> actions = {"install",   "test",  "build",       "lint",
                                                     "typecheck", "check", "format-check"};

constexpr std::size_t nonceLength = 48;
constexpr std::size_t workFolderLimit = 4096;
constexpr std::size_t commandLimit = 4096;
constexpr std::size_t scriptLimit = 2000;

bool isAction(const std::optional<std::string>& action) {
    return action && std::find(actions.begin(), actions.end(), *action) != actions.end();
}

bool isNonce(const std::optional<std::string>& nonce) {
    return nonce && nonce->size() == nonceLength && isLowerHex(*nonce);
}

bool isWorkFolder(const std::optional<std::string>& cwd) {
    if (!cwd || !cwd->starts_with('/') || !hasAtMostCharacters(*cwd, workFolderLimit))
        return false;
    // In UTF-8 these three bytes never occur inside another character, so a byte search sees every
    // code point, including each half of a "\r\n" pair that counts as one character.
    for (char forbidden : {'\n', '\r', '\0'}) {
        if (cwd->find(forbidden) != std::string::npos)
            return false;
    }
    return true;
}

bool isWithin(const std::optional<std::string>& text, std::size_t limit) {
    return text && hasAtMostCharacters(*text, limit);
}

// A character that reorders the text around it or hides itself would let the dialog show another
// command than the one that runs ("Trojan source"). Each is shown in its place as a visible marker,
// "⟨U+202E⟩"; the checks above and the reply use the value as received.
std::string withVisibleMarkers(const std::string& value) {
    std::string shown;
    shown.reserve(value.size());
    TextWalk walk{value};
    while (!atEnd(walk)) {
        auto codePoint = nextCodePoint(walk).codePoint;
        if (!isUnseenFormatting(codePoint)) {
            appendCodePoint(shown, codePoint);
            continue;
        }
        char marker[24];
        std::snprintf(marker, sizeof marker, "⟨U+%04X⟩", static_cast<unsigned>(codePoint));
        shown += marker;
    }
    return shown;
}

std::string accessoryText(const std::string& cwd, const std::string& command, const std::string& script) {
    std::string text =
        "工作資料夾：\n" + withVisibleMarkers(cwd) + "\n\n指令：\n" + withVisibleMarkers(command);
    if (!script.empty())
        text += "\n\n專案腳本摘要（執行包含前後置步驟與子程序）：\n" + withVisibleMarkers(script);
    return text;
}

Alert confirmationAlert(const std::string& cwd, const std::string& command, const std::string& script) {
    return {
        .message = "允許 Dovrel 執行這次專案指令？",
        .informative = "指令可能修改檔案、連上網路，並執行專案的其他程式。它使用你的 Mac "
                       "帳號權限，不是只能碰此資料夾的沙箱。只允許你信任的專案；此次選擇不會記成永久允許。",
        .style = AlertStyle::warning,
        .buttons = {"取消", "允許這一次"},
        .accessoryText = accessoryText(cwd, command, script),
        .accessoryName = "工作資料夾與指令",
        .floating = true,
    };
}

constexpr std::size_t allowButton = 1;

} // namespace

Reply chooseFolder(const Json& request, const HelperPlugins& plugins) {
    auto choice = chooseFolderModally(plugins.dialogs(), chooserTexts(stringMember(request, "language")));
    // A chooser that could not be shown is not a user's cancellation, and a path that is not UTF-8
    // cannot be told in the reply without changing it, so that the reply says exactly what is on disk.
    if (choice.end == DialogEnd::notShown || (choice.end == DialogEnd::chosen && !isUtf8(choice.path)))
        return failureReply();
    if (choice.end == DialogEnd::dismissed)
        return {{"ok", true}, {"path", nullptr}};
    return {{"ok", true}, {"path", choice.path}};
}

Reply confirmProjectCommand(const Json& request, const HelperPlugins& plugins) {
    if (!isAction(stringMember(request, "action")))
        return failureReply();
    auto nonce = stringMember(request, "nonce");
    if (!isNonce(nonce))
        return failureReply();
    auto cwd = stringMember(request, "cwd");
    if (!isWorkFolder(cwd))
        return failureReply();
    auto command = stringMember(request, "command");
    if (!isWithin(command, commandLimit))
        return failureReply();
    auto script = stringMember(request, "script");
    if (!isWithin(script, scriptLimit))
        return failureReply();

    auto answer = runAlert(plugins.dialogs(), confirmationAlert(*cwd, *command, *script));
    if (answer.end == DialogEnd::notShown)
        return failureReply();
    bool approved = answer.end == DialogEnd::chosen && answer.button == allowButton;
    return {{"approved", approved}, {"nonce", *nonce}, {"ok", true}};
}
