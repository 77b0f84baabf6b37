#include "tests/dialogs/wayland_session.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

// Every wtype run uploads a keymap of its own, in which keys get codes in the order they are named.
// GTK 3 reads key bindings (Escape, Ctrl+L, a button's Space) through the codes of the first keymap it
// saw, so every run names these keys first, in this order, by releasing keys that are not pressed.
const std::vector<std::string> sharedKeys = {"-p", "Escape", "-p", "Return", "-p", "Tab",
                                             "-p", "space",  "-p", "l",      "-p", "Control_L"};

pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    std::vector<std::string> argv = arguments, envp = environment;
    std::vector<char*> argvPointers, envPointers;
    for (auto& text : argv)
        argvPointers.push_back(text.data());
    argvPointers.push_back(nullptr);
    for (auto& text : envp)
        envPointers.push_back(text.data());
    envPointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed =
        posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

void stop(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

bool running(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

// The node of sway's tree that is a mapped window of the application id, if there is one.
std::optional<nlohmann::json> findWindow(const nlohmann::json& node, const std::string& appId) {
    if (node.value("app_id", nlohmann::json()) == appId && node.value("visible", false))
        return node;
    for (const char* children : {"nodes", "floating_nodes"}) {
        for (const auto& child : node.value(children, nlohmann::json::array())) {
            if (auto found = findWindow(child, appId))
                return found;
        }
    }
    return std::nullopt;
}

std::string waylandKeysProgram() {
    return "/usr/bin/wtype";
}

} // namespace

std::string swaymsg(const WaylandSession& session, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"-s", session.ipcSocket};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runProgram({.program = "/usr/bin/swaymsg", .arguments = all}).out;
}

std::optional<WaylandSession> startWaylandSession() {
    if (!fs::exists("/usr/bin/sway") || !fs::exists("/usr/bin/setpriv") || !fs::exists(waylandKeysProgram()))
        return std::nullopt;
    WaylandSession session;
    session.scratch = makeScratchFolder("sway");
    const std::string runtime = session.scratch + "/runtime";
    const std::string config = session.scratch + "/config";
    // nobody passes through the scratch folder to a runtime folder and a configuration of its own.
    chmod(session.scratch.c_str(), 0711);
    fs::create_directory(runtime);
    if (chown(runtime.c_str(), nobody, nobody) != 0 || chmod(runtime.c_str(), 0700) != 0)
        return std::nullopt;
    std::ofstream(config) << "xwayland disable\n";
    chmod(config.c_str(), 0644);
    session.compositor = spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                "/usr/bin/sway", "-c", config},
                               {"XDG_RUNTIME_DIR=" + runtime, "HOME=" + runtime, "WLR_BACKENDS=headless",
                                "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"});
    if (session.compositor < 0)
        return std::nullopt;
    // sway writes its sockets once it accepts clients; a sway that cannot run here ends instead.
    while (running(session.compositor) && (session.socket.empty() || session.ipcSocket.empty())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto& entry : fs::directory_iterator(runtime)) {
            auto name = entry.path().filename().string();
            if (name.starts_with("wayland-") && !name.ends_with(".lock"))
                session.socket = entry.path();
            if (name.starts_with("sway-ipc."))
                session.ipcSocket = entry.path();
        }
    }
    if (!running(session.compositor) || swaymsg(session, {"-t", "get_version"}).empty()) {
        stopWaylandSession(session);
        return std::nullopt;
    }
    // Without input devices the seat has no keyboard until a virtual one comes, and a keyboard that
    // comes and goes with every wtype run would take the focus away each time it goes.
    std::vector<std::string> hold{waylandKeysProgram()};
    hold.insert(hold.end(), sharedKeys.begin(), sharedKeys.end());
    hold.insert(hold.end(), {"-s", "86400000"});
    session.keyboard = spawn(hold, {"WAYLAND_DISPLAY=" + session.socket});
    return session;
}

void stopWaylandSession(WaylandSession& session) {
    stop(session.keys);
    stop(session.keyboard);
    stop(session.compositor);
    if (!session.scratch.empty())
        fs::remove_all(session.scratch);
}

std::vector<std::string> waylandEnvironment(const WaylandSession& session) {
    return environmentWith({"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY=" + session.socket});
}

void sendWaylandKeys(WaylandSession& session, const std::vector<std::string>& arguments) {
    stop(session.keys);
    std::vector<std::string> all{waylandKeysProgram()};
    all.insert(all.end(), sharedKeys.begin(), sharedKeys.end());
    all.insert(all.end(), arguments.begin(), arguments.end());
    all.insert(all.end(), {"-s", "86400000"});
    session.keys = spawn(all, {"WAYLAND_DISPLAY=" + session.socket});
}

ProgramRun runWithWaylandWindow(WaylandSession& session, const ProgramCall& call,
                                const std::function<void(const nlohmann::json& window)>& act,
                                const std::string& appId) {
    auto pending = std::async(std::launch::async, [call] { return runProgram(call); });
    // sway gives a new window the focus once it maps it; until then keys would go nowhere.
    for (int look = 0; look < 2400; ++look) {
        if (pending.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready)
            break;
        auto tree = nlohmann::json::parse(swaymsg(session, {"-t", "get_tree"}), nullptr, false);
        if (auto window = findWindow(tree, appId); window && window->value("focused", false)) {
            act(*window);
            break;
        }
    }
    auto run = pending.get();
    stop(session.keys);
    return run;
}
