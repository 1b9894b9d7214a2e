// The graphical module, loaded with dlopen as the program loads it, driven
// in-process on a private X server: the alert's buttons, codes and dismissal,
// the panel's folder, preselection, filter and the checks on what is
// confirmed, and the application start.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GraphicalSupport.h"
#include "TestSupport.h"
#include "platform/gtk/HalvernGtk.h"

// Last: Xlib defines macros (Status, None, ...) that clash with other names.
#include <gdk/gdkx.h>
#undef Status

// In a sanitizer build: what GTK's libraries keep until the process ends is no
// leak of the module's (see lsan-graphical.supp).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libglib-2.0.so\n"; }

namespace {

using namespace std::chrono_literals;

// One X server and one module for the whole test program; GTK is started once,
// through the module's own application start.
struct Session {
    std::unique_ptr<testsupport::Xvfb> xvfb;
    platform::GtkServices* services = nullptr;
    std::string failure;
    // What the application start did.
    int launches = 0;
    bool launchedInsideMainLoop = false;
    std::vector<std::string> argumentsSeenByDelegate;
    platform::Status startStatus = platform::Status::Failure("not started");
};

Session& TheSession() {
    static Session session;
    return session;
}

char* Mutable(const char* text) { return const_cast<char*>(text); }
char* gArguments[] = {Mutable("Halvern"), Mutable("0"), Mutable("--display"), Mutable(":4711"), Mutable("1"), nullptr};

class RecordingDelegate : public platform::ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override {
        Session& session = TheSession();
        ++session.launches;
        session.launchedInsideMainLoop = gtk_main_level() > 0;
        for (int i = 0; i < 5; ++i) session.argumentsSeenByDelegate.emplace_back(gArguments[i]);
    }
};

class GtkEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Session& session = TheSession();
        session.xvfb = std::make_unique<testsupport::Xvfb>();
        if (!session.xvfb->ok()) {
            session.failure = session.xvfb->failure();
            return;
        }
        setenv("DISPLAY", session.xvfb->display().c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("GDK_BACKEND", "x11", 1);

        void* handle = dlopen(HALVERN_GTK_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            session.failure = std::string("dlopen: ") + dlerror();
            return;
        }
        auto entry = reinterpret_cast<HalvernGtkServicesFunction>(dlsym(handle, platform::kGtkServicesSymbol));
        if (entry == nullptr) {
            session.failure = "no entry point";
            return;
        }
        if (entry(platform::kGtkModuleVersion + 1) != nullptr) {
            session.failure = "a module of another version was accepted";
            return;
        }
        session.services = entry(platform::kGtkModuleVersion);
        RecordingDelegate delegate;
        session.startStatus = session.services->application.main(5, gArguments, delegate);
    }
};

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

#define REQUIRE_SESSION()                                                                    \
    do {                                                                                     \
        if (!testsupport::FindProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";     \
        ASSERT_NE(TheSession().services, nullptr) << TheSession().failure;                   \
    } while (0)

// Runs the steps one after the other from the main loop, each polled until it
// answers true, while the code under test runs its modal dialog. A step that
// does not finish in time fails the test and closes every dialog, so a
// broken dialog cannot hang the test.
class Script {
public:
    using Step = std::function<bool()>;
    explicit Script(std::vector<Step> steps) : steps_(std::move(steps)) {
        deadline_ = std::chrono::steady_clock::now() + 15s;
        source_ = g_timeout_add(30, &Script::Tick, this);
    }
    ~Script() {
        if (source_ != 0) g_source_remove(source_);
    }
    bool finished() const { return next_ == steps_.size(); }

private:
    static gboolean Tick(gpointer data) {
        auto* self = static_cast<Script*>(data);
        while (self->next_ < self->steps_.size() && self->steps_[self->next_]()) ++self->next_;
        if (std::chrono::steady_clock::now() > self->deadline_) {
            if (self->next_ < self->steps_.size()) {
                ADD_FAILURE() << "step " << self->next_ << " did not finish in time";
            } else {
                ADD_FAILURE() << "the dialog stayed open after the last step";
            }
            GList* windows = gtk_window_list_toplevels();
            for (GList* w = windows; w; w = w->next) {
                if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
                    gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CANCEL);
                }
            }
            g_list_free(windows);
            self->source_ = 0;
            return G_SOURCE_REMOVE;
        }
        // Goes on after the last step, until the code under test has closed its
        // dialog and the script goes, so that a dialog that stays open is caught.
        return G_SOURCE_CONTINUE;
    }

    std::vector<Step> steps_;
    size_t next_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    guint source_ = 0;
};

// The visible dialog of the given type, or nullptr.
GtkWidget* VisibleDialog(GType type) {
    GtkWidget* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
        GtkWidget* widget = GTK_WIDGET(w->data);
        if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type) && gtk_widget_get_mapped(widget)) found = widget;
    }
    g_list_free(windows);
    return found;
}

// Closes the visible dialog of the given type as a window manager's close
// button does (a delete event). False while there is no such dialog yet.
bool CloseVisibleDialog(GType type) {
    GtkWidget* dialog = VisibleDialog(type);
    if (!dialog) return false;
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
    return true;
}

std::string Label(GtkWidget* button) {
    const char* label = gtk_button_get_label(GTK_BUTTON(button));
    return label ? label : "";
}

std::string StringProperty(GtkWidget* widget, const char* name) {
    gchar* value = nullptr;
    g_object_get(widget, name, &value, nullptr);
    std::string result = value ? value : "";
    g_free(value);
    return result;
}

// Every label's text inside widget, depth first.
void CollectLabels(GtkWidget* widget, std::vector<std::string>& texts) {
    if (GTK_IS_LABEL(widget)) texts.emplace_back(gtk_label_get_text(GTK_LABEL(widget)));
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* c = children; c; c = c->next) CollectLabels(GTK_WIDGET(c->data), texts);
        g_list_free(children);
    }
}

// The first widget of the given type inside widget, depth first.
GtkWidget* FindChild(GtkWidget* widget, GType type) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return widget;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* c = children; c && !found; c = c->next) found = FindChild(GTK_WIDGET(c->data), type);
        g_list_free(children);
    }
    return found;
}

// --- The application start ----------------------------------------------------

TEST(GtkApplication, CallsTheDelegateOnceFromTheMainLoopAndLeavesTheArgumentsAlone) {
    REQUIRE_SESSION();
    const Session& session = TheSession();
    EXPECT_TRUE(session.startStatus.ok()) << session.startStatus.localizedDescription();
    EXPECT_EQ(session.launches, 1);
    EXPECT_TRUE(session.launchedInsideMainLoop);
    // "--display :4711" is an argument of the scripts, not an option for GTK:
    // had GTK read it, it would have failed to open that display, and removed it.
    EXPECT_EQ(session.argumentsSeenByDelegate, (std::vector<std::string>{"Halvern", "0", "--display", ":4711", "1"}));
}

// --- The alert -----------------------------------------------------------------

TEST(GtkAlert, ShowsAnErrorAlertWithTheButtonsInOrderTheFirstTheDefault) {
    REQUIRE_SESSION();
    std::string primary, secondary, title;
    std::vector<std::string> labels;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    bool firstIsDefault = false, modal = false;
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_MESSAGE_DIALOG);
        if (!dialog) return false;
        g_object_get(dialog, "message-type", &type, nullptr);
        primary = StringProperty(dialog, "text");
        secondary = StringProperty(dialog, "secondary-text");
        title = gtk_window_get_title(GTK_WINDOW(dialog)) ? gtk_window_get_title(GTK_WINDOW(dialog)) : "";
        modal = gtk_window_get_modal(GTK_WINDOW(dialog));
        GtkWidget* first = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000);
        GtkWidget* second = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1001);
        if (!first || !second) return true;
        // Left to right as added: the order of the children of their box.
        GList* row = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(first)));
        for (GList* c = row; c; c = c->next) labels.push_back(Label(GTK_WIDGET(c->data)));
        g_list_free(row);
        firstIsDefault = gtk_widget_has_default(first);
        gtk_button_clicked(GTK_BUTTON(second));
        return true;
    }});
    const int answer =
        TheSession().services->alert.runModal("Veldane Lumaro", "Quit it, then retry.", {"Wiederholen", "Abbrechen"});
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(answer, 1001);
    EXPECT_EQ(type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(primary, "Veldane Lumaro");
    EXPECT_EQ(secondary, "Quit it, then retry.");
    EXPECT_EQ(title, "Veldane Lumaro");
    EXPECT_TRUE(modal);
    EXPECT_EQ(labels, (std::vector<std::string>{"Wiederholen", "Abbrechen"}));
    EXPECT_TRUE(firstIsDefault);
}

TEST(GtkAlert, TextsAreShownAsGivenNotAsMarkupOrFormats) {
    REQUIRE_SESSION();
    std::string primary, secondary;
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_MESSAGE_DIALOG);
        if (!dialog) return false;
        std::vector<std::string> texts;
        CollectLabels(dialog, texts);
        for (const std::string& text : texts) {
            if (text.find("<b>") != std::string::npos) primary = text;
            if (text.find("%s") != std::string::npos) secondary = text;
        }
        gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000)));
        return true;
    }});
    EXPECT_EQ(TheSession().services->alert.runModal("<b>A & B</b>", "100% %s %n", {"OK"}), 1000);
    EXPECT_EQ(primary, "<b>A & B</b>");
    EXPECT_EQ(secondary, "100% %s %n");
}

// Types a key into the dialog's window through the X server (xdotool, XTest),
// as a person would.
bool SendKey(GtkWidget* dialog, const std::string& key) {
    const auto xid = gdk_x11_window_get_xid(gtk_widget_get_window(dialog));
    return testsupport::SendKeys(TheSession().xvfb->display(), std::to_string(xid), {key});
}

int AnswerWithKey(const std::vector<std::string>& buttons, const std::string& key) {
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_MESSAGE_DIALOG);
        if (!dialog || !gtk_widget_has_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000))) return false;
        EXPECT_TRUE(SendKey(dialog, key));
        return true;
    }});
    const int answer = TheSession().services->alert.runModal("Title", "Text", buttons);
    EXPECT_TRUE(script.finished());
    return answer;
}

TEST(GtkAlert, ReturnPressesTheFirstButtonAndEscapeTheLast) {
    REQUIRE_SESSION();
    if (!testsupport::FindProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
    EXPECT_EQ(AnswerWithKey({"Retry", "Cancel"}, "Return"), 1000);
    EXPECT_EQ(AnswerWithKey({"Retry", "Cancel"}, "Escape"), 1001);
    EXPECT_EQ(AnswerWithKey({"OK"}, "Escape"), 1000);
}

TEST(GtkAlert, ClosingTheWindowAnswersAsTheLastButton) {
    REQUIRE_SESSION();
    for (const std::vector<std::string>& buttons : {std::vector<std::string>{"Retry", "Cancel"}, {"OK"}}) {
        Script script({[&] { return CloseVisibleDialog(GTK_TYPE_MESSAGE_DIALOG); }});
        EXPECT_EQ(TheSession().services->alert.runModal("Title", "Text", buttons),
                  1000 + static_cast<int>(buttons.size()) - 1);
        EXPECT_TRUE(script.finished());
    }
}

TEST(GtkAlert, EachAlertIsANewWindowAndNoneStaysBehind) {
    REQUIRE_SESSION();
    for (int i = 0; i < 3; ++i) {
        Script script({[&] {
            GtkWidget* dialog = VisibleDialog(GTK_TYPE_MESSAGE_DIALOG);
            if (!dialog) return false;
            gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000)));
            return true;
        }});
        EXPECT_EQ(TheSession().services->alert.runModal("Title", "Text", {"Retry", "Cancel"}), 1000);
    }
    EXPECT_EQ(VisibleDialog(GTK_TYPE_MESSAGE_DIALOG), nullptr);
}

// --- The open panel ---------------------------------------------------------------

// Accepts every entry except those whose name ends in "Bad.app", and records
// what it was asked.
class TestDelegate : public platform::OpenPanelDelegate {
public:
    bool panelShouldShowFilename(platform::OpenPanel&, const std::string& filename) override {
        asked.push_back(filename);
        return filename.size() < 7 || filename.compare(filename.size() - 7, 7, "Bad.app") != 0;
    }
    std::vector<std::string> asked;
    bool wasAsked(const std::string& path) const {
        return std::find(asked.begin(), asked.end(), path) != asked.end();
    }
};

class GtkOpenPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::MakeFolders(dir / "Good.app/Contents");
        testsupport::MakeFolders(dir / "Bad.app/Contents");
        testsupport::MakeFolders(dir / "Other.app/Contents");
        testsupport::MakeFolders(dir / "Folder");
        testsupport::WriteFile(dir / "notes.txt", "x");
        options.delegate = &delegate;
        options.title = "Veldane Lumaro";
        options.message = "Choose the Veldane Lumaro application.";
        options.directory = dir.path();
        options.nameFieldStringValue = "Good.app";
        options.allowedFileTypes = {"app"};
    }
    platform::OpenPanel& panel() { return TheSession().services->openPanel; }

    testsupport::TempDir dir;
    TestDelegate delegate;
    platform::OpenPanelOptions options;
};

std::string ChooserFilename(GtkWidget* dialog) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    std::string result = name ? name : "";
    g_free(name);
    return result;
}

std::string CurrentFolder(GtkWidget* dialog) {
    gchar* name = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(dialog));
    std::string result = name ? name : "";
    g_free(name);
    return result;
}

// The row of the file list that shows name, and whether the list lets it be
// selected (GTK refuses rows that its filter greys out). The list is the tree
// view whose first column holds the names.
struct Row {
    bool found = false;
    bool selectable = false;
};
Row FindRow(GtkWidget* dialog, const std::string& name) {
    Row row;
    std::vector<GtkWidget*> views;
    std::function<void(GtkWidget*)> collect = [&](GtkWidget* w) {
        if (GTK_IS_TREE_VIEW(w)) views.push_back(w);
        if (GTK_IS_CONTAINER(w)) {
            GList* children = gtk_container_get_children(GTK_CONTAINER(w));
            for (GList* c = children; c; c = c->next) collect(GTK_WIDGET(c->data));
            g_list_free(children);
        }
    };
    collect(dialog);
    for (GtkWidget* view : views) {
        GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
        if (!model || gtk_tree_model_get_column_type(model, 0) != G_TYPE_STRING) continue;
        GtkTreeIter iter;
        for (gboolean more = gtk_tree_model_get_iter_first(model, &iter); more;
             more = gtk_tree_model_iter_next(model, &iter)) {
            gchar* shown = nullptr;
            gtk_tree_model_get(model, &iter, 0, &shown, -1);
            const bool match = shown && name == shown;
            g_free(shown);
            if (!match) continue;
            row.found = true;
            GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
            gtk_tree_selection_unselect_all(selection);
            gtk_tree_selection_select_iter(selection, &iter);
            row.selectable = gtk_tree_selection_iter_is_selected(selection, &iter);
        }
    }
    return row;
}

TEST_F(GtkOpenPanelTest, OpensInTheFolderWithTheNamePreselectedAndReturnsTheChoice) {
    REQUIRE_SESSION();
    std::string title, folder, preselected;
    std::vector<std::string> labels;
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
    Script script({[&] {
                       GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
                       if (!dialog || ChooserFilename(dialog) != dir / "Good.app") return false;
                       title = gtk_window_get_title(GTK_WINDOW(dialog));
                       folder = CurrentFolder(dialog);
                       preselected = ChooserFilename(dialog);
                       action = gtk_file_chooser_get_action(GTK_FILE_CHOOSER(dialog));
                       CollectLabels(dialog, labels);
                       gtk_button_clicked(
                           GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT)));
                       return true;
                   }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kOKButton);
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(panel().URLs(), std::vector<std::string>{dir / "Good.app"});
    EXPECT_EQ(title, "Veldane Lumaro");
    EXPECT_EQ(folder, dir.path());
    EXPECT_EQ(preselected, dir / "Good.app");
    EXPECT_EQ(action, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
    EXPECT_NE(std::find(labels.begin(), labels.end(), options.message), labels.end());
    EXPECT_TRUE(delegate.wasAsked(dir / "Bad.app"));
}

TEST_F(GtkOpenPanelTest, ABundleTheDelegateRejectsIsGreyedOutAndCannotBeSelected) {
    REQUIRE_SESSION();
    Row good, bad, other;
    Script script({[&] {
                       GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
                       if (!dialog || ChooserFilename(dialog) != dir / "Good.app") return false;
                       bad = FindRow(dialog, "Bad.app");
                       good = FindRow(dialog, "Good.app");
                       other = FindRow(dialog, "Other.app");
                       gtk_button_clicked(
                           GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL)));
                       return true;
                   }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kCancelButton);
    EXPECT_TRUE(script.finished());
    EXPECT_TRUE(panel().URLs().empty());
    ASSERT_TRUE(bad.found && good.found && other.found) << "GTK's file list did not show the bundles";
    EXPECT_FALSE(bad.selectable);
    EXPECT_TRUE(good.selectable);
    EXPECT_TRUE(other.selectable);
}

TEST_F(GtkOpenPanelTest, AConfirmedFolderMustBeAnAllowedBundleTheDelegateShows) {
    REQUIRE_SESSION();
    // Typing a folder's path and Return shows that folder; Open then confirms
    // the folder shown. The panel refuses and stays open, for a rejected bundle
    // and for a folder that is no bundle.
    std::vector<std::string> refused;
    auto openAndConfirm = [&](const std::string& path) {
        return [&, path, asked = false]() mutable {
            GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
            if (!dialog || ChooserFilename(dialog).empty()) return false;
            if (!asked) {
                gtk_file_chooser_unselect_all(GTK_FILE_CHOOSER(dialog));
                gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), path.c_str());
                asked = true;
            }
            if (CurrentFolder(dialog) != path) return false;
            gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT)));
            if (VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG) == dialog) refused.push_back(path);
            return true;
        };
    };
    Script script({openAndConfirm(dir / "Bad.app"), openAndConfirm(dir / "Folder"), [&] {
                       GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
                       if (!dialog) return false;
                       gtk_button_clicked(
                           GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL)));
                       return true;
                   }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kCancelButton);
    EXPECT_TRUE(script.finished());
    EXPECT_TRUE(panel().URLs().empty());
    EXPECT_EQ(refused, (std::vector<std::string>{dir / "Bad.app", dir / "Folder"}));
}

TEST_F(GtkOpenPanelTest, ATypedPathOfAChoosableBundleIsAccepted) {
    REQUIRE_SESSION();
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
        if (!dialog || ChooserFilename(dialog).empty()) return false;
        gtk_file_chooser_unselect_all(GTK_FILE_CHOOSER(dialog));
        g_signal_emit_by_name(FindChild(dialog, GTK_TYPE_FILE_CHOOSER_WIDGET), "location-popup",
                              (dir / "Other.app").c_str());
        return true;
    },
                   // Confirmed once the chooser has taken the typed path in,
                   // and again while the dialog stays: the chooser may still
                   // be going to the typed path when the first confirmation
                   // comes, and GTK then takes that one for itself.
                   [&] {
                       GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
                       if (!dialog) return true;
                       if (ChooserFilename(dialog) == dir / "Other.app") {
                           gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
                       }
                       return false;
                   }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kOKButton);
    EXPECT_EQ(panel().URLs(), std::vector<std::string>{dir / "Other.app"});
}

TEST_F(GtkOpenPanelTest, OpeningAChoosableBundleChoosesItInsteadOfShowingItsInsides) {
    REQUIRE_SESSION();
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
        if (!dialog || ChooserFilename(dialog).empty()) return false;
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), (dir / "Other.app").c_str());
        return true;
    }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kOKButton);
    EXPECT_EQ(panel().URLs(), std::vector<std::string>{dir / "Other.app"});
}

TEST_F(GtkOpenPanelTest, EscapeCancelsThePanel) {
    REQUIRE_SESSION();
    if (!testsupport::FindProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
    Script script({[&] {
        GtkWidget* dialog = VisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG);
        if (!dialog || ChooserFilename(dialog) != dir / "Good.app") return false;
        EXPECT_TRUE(SendKey(dialog, "Escape"));
        return true;
    }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kCancelButton);
    EXPECT_TRUE(script.finished());
    EXPECT_TRUE(panel().URLs().empty());
}

TEST_F(GtkOpenPanelTest, ClosingThePanelCancelsIt) {
    REQUIRE_SESSION();
    Script script({[&] { return CloseVisibleDialog(GTK_TYPE_FILE_CHOOSER_DIALOG); }});
    EXPECT_EQ(panel().runModal(options), platform::OpenPanel::kCancelButton);
    EXPECT_TRUE(script.finished());
    EXPECT_TRUE(panel().URLs().empty());
}

}  // namespace
