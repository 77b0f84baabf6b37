// Modal dialogs over GTK 3: the folder chooser and alerts with an optional read-only text area.
#include "platform/dialogs/plugin.h"
#include "platform/paths.h"
#include "platform/session_bus.h"
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

// The version of the file chooser portal's interface on the session bus; 0 where none answers. Reading
// it starts the portal, as showing its chooser would.
guint32 portalChooserVersion() {
    if (!sessionBusConfigured())
        return 0;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr)
        return 0;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                                    "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.freedesktop.portal.FileChooser", "version"),
                                    G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    g_object_unref(bus);
    if (reply == nullptr)
        return 0;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    guint32 version = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
    g_variant_unref(value);
    g_variant_unref(reply);
    return version;
}

// GTK asks the portal for a folder with OpenFile, whose starting folder belongs to the portal's interface
// from version 4. An older portal drops it (Debian 12's, at 3; 1.17 and 1.18 pass it on while still
// telling 3, and get GTK's own chooser all the same), and GTK's backend then opens on recent files, which
// list no folder to choose and take a typed folder and Return as a folder to enter. GTK's own chooser,
// which opens in the home folder, is shown there instead; a value the user set stands. GTK reads the
// variable once, from the display's opening on, so this comes first.
constexpr guint32 portalVersionWithStartingFolder = 4;

void keepOwnChooserUnlessThePortalStartsInAFolder() {
    if (g_getenv("GTK_USE_PORTAL") == nullptr && portalChooserVersion() < portalVersionWithStartingFolder)
        g_setenv("GTK_USE_PORTAL", "0", TRUE);
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

// A label that starts with a Latin letter gets it as its access key (Alt+S for "Select"), as GTK's own
// labels have; the others are shown as they are.
std::string withAccessKey(const std::string& label) {
    auto shown = displayable(label);
    if (!shown.empty() && g_ascii_isalpha(shown.front()))
        return "_" + shown;
    return shown;
}

// The buttons speak the title's language rather than the process's locale.
DialogOutcome showFolderChooser(const FolderChooser& texts) {
    keepOwnChooserUnlessThePortalStartsInAFolder();
    if (!displayOpened())
        return {};
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        displayable(texts.title).c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        withAccessKey(texts.select).c_str(), withAccessKey(texts.cancel).c_str());
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), FALSE);
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), TRUE);
    // Only folders with a local path can be answered with one.
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(chooser), TRUE);
    // Opening on the list of recent files would show no folders at all.
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), g_get_home_dir());

    DialogOutcome outcome{.end = DialogEnd::dismissed};
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        // The path as the chooser holds it: links stay unresolved. An accepted chooser that names no
        // local folder has chosen nothing.
        if (gchar* filename = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
            outcome = {.end = DialogEnd::chosen, .path = withoutTrailingSlashes(filename)};
            g_free(filename);
        }
    }
    g_object_unref(chooser);
    gdk_display_flush(gdk_display_get_default());
    return outcome;
}

// Twelve pixels at scale 1, as macOS measures a font in points that are pixels at scale 1: the 520 by 160
// area then holds about 70 by 11 characters there and here alike. Given in points, nine of them at 96
// dpi, so that the user's text scale (GDK's DPI scale, the desktop's text scaling factor) enlarges the
// command as it does every other text. DejaVu Sans Mono has the line height of the macOS system font;
// Debian's default monospace (Noto Sans Mono) is a sixth taller and would show ten lines.
void useMonospacedFont(GtkWidget* widget) {
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        provider,
        "label { font-family: \"DejaVu Sans Mono\", monospace; font-size: 9pt; font-weight: normal; }", -1,
        nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

// Every paragraph of the area is laid out left to right, whatever letters it starts with, so that the
// order on the screen is the order of the characters. The label makes its layout afresh whenever its
// text, style or size changes, so the direction is fixed again on the layout about to be drawn.
gboolean layOutLeftToRight(GtkWidget* label, cairo_t*, gpointer) {
    pango_layout_set_auto_dir(gtk_label_get_layout(GTK_LABEL(label)), FALSE);
    return FALSE;
}

// A read-only, selectable text area that wraps at its width and scrolls vertically, below the alert's
// texts. A label rather than a text view: only a label takes Pango attributes, and without them Pango
// shows a hyphen, a character that is not in the text, where it breaks a long word.
void addAccessoryText(GtkWidget* dialog, const std::string& text, const std::string& name) {
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    // A scroller that is always drawn tells at once that the text goes on below.
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller), FALSE);
    gtk_widget_set_size_request(scroller, 520, 160);

    auto shown = displayable(text);
    GtkWidget* label = gtk_label_new(shown.c_str());
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    // Its natural width is kept small so that the area's width, not the longest line, decides the wrap.
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_yalign(GTK_LABEL(label), 0);
    gtk_widget_set_valign(label, GTK_ALIGN_START);
    gtk_widget_set_margin_start(label, 4);
    gtk_widget_set_margin_end(label, 4);
    gtk_widget_set_direction(label, GTK_TEXT_DIR_LTR);
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
    gtk_label_set_attributes(GTK_LABEL(label), attributes);
    pango_attr_list_unref(attributes);
    g_signal_connect(label, "draw", G_CALLBACK(layOutLeftToRight), nullptr);
    useMonospacedFont(label);
    // Read as a text area, by the name it is given, rather than as a label whose name is all its text.
    AtkObject* accessible = gtk_widget_get_accessible(label);
    atk_object_set_role(accessible, ATK_ROLE_TEXT);
    atk_object_set_name(accessible, displayable(name).c_str());

    gtk_container_add(GTK_CONTAINER(scroller), label);
    if (GtkWidget* viewport = gtk_bin_get_child(GTK_BIN(scroller)))
        gtk_style_context_add_class(gtk_widget_get_style_context(viewport), GTK_STYLE_CLASS_VIEW);
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
        // Only the first button is ever the default. GTK makes a focused button the default while it
        // has the focus, or takes the default from the first while it cannot be one, and a screen
        // reader would hear that although Return still answers with the first. It is drawn in the
        // accent colour, as on macOS, so that the user sees which answer Return gives.
        if (index == 0) {
            gtk_widget_set_can_default(button, TRUE);
            gtk_style_context_add_class(gtk_widget_get_style_context(button),
                                        GTK_STYLE_CLASS_SUGGESTED_ACTION);
        } else {
            gtk_widget_set_receives_default(button, FALSE);
        }
        gtk_widget_show(button);
        gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button, static_cast<gint>(index));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    g_signal_connect(dialog, "key-press-event", G_CALLBACK(returnChoosesFirstButton), nullptr);
}

DialogOutcome showAlert(const Alert& alert) {
    if (!displayOpened())
        return {};
    GtkMessageType type = alert.style == AlertStyle::warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO;
    auto message = displayable(alert.message);
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", message.c_str());
    // The message names the window, for window lists, and the alert, for screen readers, which would
    // otherwise announce only the toolkit's own English "Warning".
    gtk_window_set_title(GTK_WINDOW(dialog), message.c_str());
    atk_object_set_name(gtk_widget_get_accessible(dialog), message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             displayable(alert.informative).c_str());
    makeTextsSelectable(dialog);
    addButtons(dialog, alert.buttons);
    if (alert.accessoryText)
        addAccessoryText(dialog, *alert.accessoryText, alert.accessoryName);
    g_signal_connect_after(dialog, "map", G_CALLBACK(focusFirstButton), nullptr);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), alert.floating ? TRUE : FALSE);

    gint response = runModally(dialog);
    auto buttonCount = std::max<std::size_t>(alert.buttons.size(), 1);
    if (response < 0 || static_cast<std::size_t>(response) >= buttonCount)
        return {.end = DialogEnd::dismissed};
    return {.end = DialogEnd::chosen, .button = static_cast<std::size_t>(response)};
}

} // namespace

extern "C" const DialogFunctions* dovrelDialogFunctions() {
    static const DialogFunctions functions{showFolderChooser, showAlert};
    return &functions;
}
