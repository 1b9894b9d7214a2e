#include "platform/gtk/GtkOpenPanel.h"

#include <gtk/gtk.h>

#include <optional>

namespace platform {

namespace {

// What the handlers of one run of the panel share.
struct PanelRun {
    GtkOpenPanel& panel;
    const OpenPanelOptions& options;
    GtkWidget* dialog;
    std::optional<std::string> opened;  // a bundle opened like a folder
    std::optional<std::string> chosen;
};

std::string TakeString(char* text) {
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

gboolean ShowEntry(const GtkFileFilterInfo* info, gpointer data) {
    auto* run = static_cast<PanelRun*>(data);
    if (info->filename == nullptr) return FALSE;  // not a local file
    if (run->options.delegate == nullptr) return TRUE;
    return run->options.delegate->panelShouldShowFilename(run->panel, info->filename);
}

// Runs before gtk_dialog_run's own handler, so stopping the emission keeps the
// panel open: a typed path, or a folder that is no choosable bundle, must pass
// the same checks as an entry picked in the list.
void CheckResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto* run = static_cast<PanelRun*>(data);
    if (response != GTK_RESPONSE_ACCEPT) return;
    const std::string path = run->opened ? *run->opened : TakeString(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)));
    run->opened.reset();
    if (!path.empty() && run->panel.isChoosable(run->options, path)) {
        run->chosen = path;
        return;
    }
    g_signal_stop_emission_by_name(dialog, "response");
    gtk_widget_error_bell(GTK_WIDGET(dialog));
}

// A bundle is one item to the user: opening a choosable one (a double click)
// chooses it instead of showing its insides.
void OpenBundle(GtkFileChooser* chooser, gpointer data) {
    auto* run = static_cast<PanelRun*>(data);
    const std::string folder = TakeString(gtk_file_chooser_get_current_folder(chooser));
    if (folder.empty() || folder == run->options.directory) return;
    if (!run->panel.isChoosable(run->options, folder)) return;
    run->opened = folder;
    gtk_dialog_response(GTK_DIALOG(run->dialog), GTK_RESPONSE_ACCEPT);
}

}  // namespace

bool GtkOpenPanel::isChoosable(const OpenPanelOptions& options, const std::string& path) {
    bool allowed = options.allowedFileTypes.empty();
    for (const std::string& type : options.allowedFileTypes) {
        const std::string suffix = "." + type;
        if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
            allowed = true;
        }
    }
    if (!allowed) return false;
    return options.delegate == nullptr || options.delegate->panelShouldShowFilename(*this, path);
}

int GtkOpenPanel::runModal(const OpenPanelOptions& options) {
    urls_.clear();

    GtkWidget* dialog = GTK_WIDGET(g_object_new(GTK_TYPE_FILE_CHOOSER_DIALOG, "title", options.title.c_str(), "action",
                                                GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "use-header-bar", TRUE, nullptr));
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_dialog_add_button(GTK_DIALOG(dialog), g_dgettext("gtk30", "_Cancel"), GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(dialog), g_dgettext("gtk30", "_Open"), GTK_RESPONSE_ACCEPT);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_file_chooser_set_local_only(chooser, TRUE);
    gtk_file_chooser_set_create_folders(chooser, FALSE);

    if (!options.message.empty()) {
        GtkWidget* message = gtk_label_new(options.message.c_str());
        gtk_label_set_line_wrap(GTK_LABEL(message), TRUE);
        gtk_label_set_xalign(GTK_LABEL(message), 0.0f);
        gtk_widget_set_margin_start(message, 12);
        gtk_widget_set_margin_end(message, 12);
        gtk_widget_set_margin_top(message, 10);
        gtk_widget_set_margin_bottom(message, 6);
        GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
        gtk_box_pack_start(GTK_BOX(content), message, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(content), message, 0);
        gtk_widget_show(message);
    }

    PanelRun run{*this, options, dialog, std::nullopt, std::nullopt};

    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_add_custom(filter, GTK_FILE_FILTER_FILENAME, ShowEntry, &run, nullptr);
    gtk_file_chooser_set_filter(chooser, filter);

    if (!options.directory.empty()) gtk_file_chooser_set_current_folder(chooser, options.directory.c_str());
    if (!options.nameFieldStringValue.empty()) {
        gchar* preselected = g_build_filename(options.directory.c_str(), options.nameFieldStringValue.c_str(), nullptr);
        gtk_file_chooser_select_filename(chooser, preselected);
        g_free(preselected);
    }

    g_signal_connect(dialog, "response", G_CALLBACK(CheckResponse), &run);
    g_signal_connect(dialog, "current-folder-changed", G_CALLBACK(OpenBundle), &run);

    gtk_widget_show(dialog);
    // GTK sizes the chooser from its own settings once it is shown; a list of a
    // few application bundles needs less.
    gtk_window_resize(GTK_WINDOW(dialog), 820, 560);
    gtk_window_present_with_time(GTK_WINDOW(dialog), GDK_CURRENT_TIME);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);

    if (response == GTK_RESPONSE_ACCEPT && run.chosen) {
        urls_.push_back(*run.chosen);
        return kOKButton;
    }
    return kCancelButton;
}

}  // namespace platform
