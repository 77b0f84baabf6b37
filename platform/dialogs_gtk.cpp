// Modal dialogs over GTK 3: the folder chooser and alerts with an optional read-only text area.
#include "platform/dialogs_plugin.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <fcntl.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

namespace {

// The programs that load this never write to standard error. GLib's loggers are silenced, and because
// Xlib and fontconfig print there directly, the descriptor itself is pointed at the null device.
GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

void discardPrint(const gchar*) {}

void silenceStandardError() {
    g_log_set_writer_func(discardLog, nullptr, nullptr);
    g_set_printerr_handler(discardPrint);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, STDERR_FILENO);
    close(null);
}

// GTK 3's native chooser is the desktop's own, drawn through the file chooser portal, only when it is
// told so outside a sandbox. Told so, it still shows its own dialog where the session bus offers no
// portal that can choose folders. A value the user set stands.
void preferTheDesktopsChooser() {
    g_setenv("GTK_USE_PORTAL", "1", FALSE);
}

// GTK 3 on Wayland presents the first window with the launch's activation token, but reads the token
// only under the X11 name; a compositor lets the window take the focus with it.
void takeTheLaunchsActivationToken() {
    const char* token = g_getenv("XDG_ACTIVATION_TOKEN");
    if (token != nullptr && g_getenv("WAYLAND_DISPLAY") != nullptr &&
        g_getenv("DESKTOP_STARTUP_ID") == nullptr)
        g_setenv("DESKTOP_STARTUP_ID", token, TRUE);
    g_unsetenv("XDG_ACTIVATION_TOKEN");
}

bool displayOpened() {
    static const bool opened = [] {
        silenceStandardError();
        g_set_prgname("Dovrel");
        g_set_application_name("Dovrel");
        preferTheDesktopsChooser();
        takeTheLaunchsActivationToken();
        return gtk_init_check(nullptr, nullptr) == TRUE;
    }();
    return opened;
}

// A user-perceived character of more code points than this exists only to be hostile: Pango takes
// minutes to lay out one accent stacked a few hundred thousand times. The rest of such a character is
// shown as one replacement character, which also says that something was left out.
constexpr int codePointsPerCharacter = 16;

// GTK only holds valid UTF-8 without NUL characters. A NUL is shown as the visible symbol for it, so
// that nothing after it disappears from what the user is asked about; an invalid byte is shown as a
// replacement character.
std::string displayable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    TextWalk walk{text};
    int inCharacter = 0;
    while (!atEnd(walk)) {
        auto [codePoint, startsCharacter] = nextCodePoint(walk);
        if (startsCharacter)
            inCharacter = 0;
        if (++inCharacter > codePointsPerCharacter) {
            if (inCharacter == codePointsPerCharacter + 1)
                appendCodePoint(shown, replacementCharacter);
            continue;
        }
        appendCodePoint(shown, codePoint == 0 ? 0x2400 : codePoint);
    }
    return shown;
}

// The dialog takes the focus as it appears. An X11 window manager that prevents focus stealing hands a
// new window the focus only when the window's last user time is newer than the user's last action
// elsewhere, and a program the user never typed into has none: the server's present time stands for it.
// On Wayland the compositor decides, with the launch's activation token when there is one.
void presentWithFocus(GtkWidget* dialog) {
    gtk_widget_realize(dialog);
    GdkWindow* window = gtk_widget_get_window(dialog);
    if (!GDK_IS_X11_WINDOW(window)) {
        gtk_window_present(GTK_WINDOW(dialog));
        return;
    }
    guint32 now = gdk_x11_get_server_time(window);
    gdk_x11_window_set_user_time(window, now);
    gtk_window_present_with_time(GTK_WINDOW(dialog), now);
}

// Runs the dialog until the user answers and takes it off the screen before the caller goes on.
gint runModally(GtkWidget* dialog) {
    presentWithFocus(dialog);
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    gdk_display_flush(gdk_display_get_default());
    return response;
}

FolderChoice showFolderChooser(const std::string& title) {
    if (!displayOpened())
        return {};
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        displayable(title).c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        g_dgettext("gtk30", "_Select"), g_dgettext("gtk30", "_Cancel"));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), FALSE);
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), TRUE);
    // Only folders with a local path can be answered with one.
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(chooser), TRUE);
    // Opening on the list of recent files would show no folders at all.
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), g_get_home_dir());

    FolderChoice choice{.shown = true, .path = std::nullopt};
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        // The path as the chooser holds it: links stay unresolved.
        if (gchar* filename = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
            choice.path = withoutTrailingSlashes(filename);
            g_free(filename);
        }
    }
    g_object_unref(chooser);
    gdk_display_flush(gdk_display_get_default());
    return choice;
}

// Twelve pixels at scale 1, as macOS measures a font in points that are pixels at scale 1: the 520 by 160
// area then holds about 70 by 11 characters there and here alike. Twelve points would be sixteen pixels
// at 96 dpi and leave room for about 49 by 7. DejaVu Sans Mono has the line height of the macOS system
// font; Debian's default monospace (Noto Sans Mono) is a sixth taller and would show ten lines.
void useMonospacedFont(GtkWidget* widget) {
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        provider,
        "textview { font-family: \"DejaVu Sans Mono\", monospace; font-size: 12px; font-weight: normal; }",
        -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

// A read-only text area that wraps at its width and scrolls vertically, below the alert's texts.
void addAccessoryText(GtkWidget* dialog, const std::string& text) {
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    // A scroller that is always drawn tells at once that the text goes on below.
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller), FALSE);
    gtk_widget_set_size_request(scroller, 520, 160);

    GtkWidget* view = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(view), 4);
    gtk_text_view_set_right_margin(GTK_TEXT_VIEW(view), 4);
    useMonospacedFont(view);
    auto shown = displayable(text);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), shown.c_str(),
                             static_cast<gint>(shown.size()));

    gtk_container_add(GTK_CONTAINER(scroller), view);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_box_pack_start(GTK_BOX(area), scroller, TRUE, TRUE, 0);
    gtk_widget_show_all(scroller);
}

// Return is the first button's key wherever the focus is, so that neither the text area nor the other
// button, when focused, turns Return into a different answer.
gboolean returnChoosesFirstButton(GtkWidget* dialog, GdkEventKey* event, gpointer) {
    if (event->keyval != GDK_KEY_Return && event->keyval != GDK_KEY_KP_Enter &&
        event->keyval != GDK_KEY_ISO_Enter)
        return FALSE;
    gtk_dialog_response(GTK_DIALOG(dialog), 0);
    return TRUE;
}

// The first button starts with the focus, so that Space answers as Return does until the user moves on
// deliberately. Mapping the dialog chooses a focus of its own, so this runs after it.
void focusFirstButton(GtkWidget* dialog, gpointer) {
    if (GtkWidget* first = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 0))
        gtk_widget_grab_focus(first);
}

// Alert texts may be selected and copied, a support address for instance.
void makeTextsSelectable(GtkWidget* dialog) {
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    for (GList* child = children; child != nullptr; child = child->next) {
        if (GTK_IS_LABEL(child->data))
            gtk_label_set_selectable(GTK_LABEL(child->data), TRUE);
    }
    g_list_free(children);
}

void addButtons(GtkWidget* dialog, const std::vector<std::string>& titles) {
    if (titles.empty()) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), g_dgettext("gtk30", "_OK"), 0);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
        return;
    }
    // Plain labels: a title is never read for an underlined access key.
    for (std::size_t index = 0; index < titles.size(); ++index) {
        GtkWidget* button = gtk_button_new_with_label(displayable(titles[index]).c_str());
        gtk_widget_set_can_default(button, TRUE);
        // The default button is drawn in the accent colour, as it is on macOS, so that the user sees
        // which answer Return gives.
        if (index == 0)
            gtk_style_context_add_class(gtk_widget_get_style_context(button),
                                        GTK_STYLE_CLASS_SUGGESTED_ACTION);
        gtk_widget_show(button);
        gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button, static_cast<gint>(index));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    g_signal_connect(dialog, "key-press-event", G_CALLBACK(returnChoosesFirstButton), nullptr);
}

AlertAnswer showAlert(const Alert& alert) {
    if (!displayOpened())
        return {};
    GtkMessageType type = alert.style == AlertStyle::warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO;
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s",
                                               displayable(alert.message).c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             displayable(alert.informative).c_str());
    makeTextsSelectable(dialog);
    addButtons(dialog, alert.buttons);
    if (alert.accessoryText)
        addAccessoryText(dialog, *alert.accessoryText);
    g_signal_connect_after(dialog, "map", G_CALLBACK(focusFirstButton), nullptr);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), alert.floating ? TRUE : FALSE);

    gint response = runModally(dialog);
    auto buttonCount = std::max<std::size_t>(alert.buttons.size(), 1);
    if (response < 0 || static_cast<std::size_t>(response) >= buttonCount)
        return {.outcome = AlertOutcome::dismissed, .button = 0};
    return {.outcome = AlertOutcome::button, .button = static_cast<std::size_t>(response)};
}

} // namespace

extern "C" const DialogFunctions* dovrelDialogFunctions() {
    static const DialogFunctions functions{showFolderChooser, showAlert};
    return &functions;
}
