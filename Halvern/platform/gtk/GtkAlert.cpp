#include "platform/gtk/GtkAlert.h"

#include <gtk/gtk.h>

namespace platform {

namespace {

// The error icon at dialog size, or nullptr when it cannot be drawn. An
// image made from an icon name falls back to GTK's built-in "image-missing"
// when the icon cannot be loaded, and GTK aborts the process when that fails
// too, as it does whenever no MIME database lies in XDG_DATA_DIRS (the image
// loaders recognise PNG through it). Loading the icon here first, and
// showing exactly that picture, leaves no fallback to fail: the alert then
// shows without an icon.
GdkPixbuf* ErrorIcon() {
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gtk_icon_theme_load_icon(gtk_icon_theme_get_default(), "dialog-error", 48,
                                                 GTK_ICON_LOOKUP_FORCE_SIZE, &error);
    if (error != nullptr) g_error_free(error);
    return pixbuf;
}

}  // namespace

int GtkAlert::runModal(const std::string& messageText, const std::string& informativeText,
                       const std::vector<std::string>& buttons) {
    const int lastButton = kFirstButton + static_cast<int>(buttons.empty() ? 0 : buttons.size() - 1);

    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_NONE,
                                               "%s", messageText.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informativeText.c_str());
    // GTK 3 no longer shows an icon for the message type by itself; the
    // critical style is meant to be seen.
    if (GdkPixbuf* pixbuf = ErrorIcon()) {
        GtkWidget* icon = gtk_image_new_from_pixbuf(pixbuf);
        g_object_unref(pixbuf);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), icon);
        G_GNUC_END_IGNORE_DEPRECATIONS
        gtk_widget_show(icon);
        // Setting an image makes the type "other"; it stays an error alert.
        g_object_set(dialog, "message-type", GTK_MESSAGE_ERROR, nullptr);
    }
    gtk_window_set_title(GTK_WINDOW(dialog), messageText.c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    int code = kFirstButton;
    for (const std::string& title : buttons) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), title.c_str(), code++);
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kFirstButton);
    if (GtkWidget* first = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), kFirstButton)) {
        gtk_widget_grab_focus(first);
    }

    // Above the program that started this one (the installer's window).
    gtk_widget_show_all(dialog);
    gtk_window_present_with_time(GTK_WINDOW(dialog), GDK_CURRENT_TIME);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);

    // Escape and the window's close button answer GTK_RESPONSE_DELETE_EVENT;
    // anything that is no button's code counts as the last button.
    if (response >= kFirstButton && response <= lastButton) return response;
    return lastButton;
}

}  // namespace platform
