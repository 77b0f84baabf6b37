// clipboard-text KEY...: sends the keys to the window that has the focus, then prints the text that the
// window's program puts on the clipboard. The new owner is watched for before the keys go out, so no copy is
// missed and no stale text is read.
#include <cstdio>
#include <gtk/gtk.h>
#include <unistd.h>
#include <vector>

namespace {

void printText(GtkClipboard*, const gchar* text, gpointer) {
    if (text != nullptr)
        std::fputs(text, stdout);
    std::fflush(stdout);
    _exit(0); // GTK keeps its caches to the end; there is nothing to tear down
}

void takeNewOwnersText(GtkClipboard* clipboard, GdkEvent*, gpointer) {
    gtk_clipboard_request_text(clipboard, printText, nullptr);
}

gboolean giveUp(gpointer) {
    _exit(1);
}

bool xdotool(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/xdotool");
    arguments.push_back(nullptr);
    return g_spawn_sync(nullptr, const_cast<gchar**>(arguments.data()), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !gtk_init_check(nullptr, nullptr))
        return 2;
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    g_signal_connect(clipboard, "owner-change", G_CALLBACK(takeNewOwnersText), nullptr);
    gdk_display_sync(gdk_display_get_default());
    std::vector<const char*> keys{"key", "--clearmodifiers"};
    keys.insert(keys.end(), argv + 1, argv + argc);
    if (!xdotool(keys))
        return 1;
    g_timeout_add_seconds(240, giveUp, nullptr);
    gtk_main();
    return 1;
}
