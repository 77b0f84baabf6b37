// clipboard-text: prints "ready", then the text of the clipboard as soon as a program takes it over.
#include <cstdio>
#include <gtk/gtk.h>
#include <unistd.h>

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

} // namespace

int main() {
    if (!gtk_init_check(nullptr, nullptr))
        return 2;
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    g_signal_connect(clipboard, "owner-change", G_CALLBACK(takeNewOwnersText), nullptr);
    // The display must have registered the interest before the test sends its keys.
    gdk_display_sync(gdk_display_get_default());
    std::puts("ready");
    std::fflush(stdout);
    gtk_main();
    return 1;
}
