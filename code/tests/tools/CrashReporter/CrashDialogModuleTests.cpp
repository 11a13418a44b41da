// The dialog module driven in-process: it is loaded with dlopen exactly as the reporter loads it,
// shown on a private Xvfb, and operated through its widgets from a timer on its own main loop.

#include "CrashDialogModule.h"
#include "DialogTestSupport.h"
#include "Launcher.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Morvex::Test;

// GTK keeps caches and type data until the process ends; under the leak checker only leaks
// through our own code are of interest.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions()
{
    return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\nleak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\n"
           "leak:libgdk_pixbuf-2.0.so\nleak:librsvg-2.so\nleak:libX11.so\nleak:libharfbuzz.so\n"
           "leak:libatk\nleak:libepoxy.so\nleak:libfreetype.so\n";
}

extern "C" __attribute__((used)) const char* __lsan_default_options()
{
    return "print_suppressions=0";
}

namespace
{
MxCrashDialogRunFn LoadModule()
{
    static MxCrashDialogRunFn run = []
    {
        void* module = dlopen(CRASH_DIALOG_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        return module ? reinterpret_cast<MxCrashDialogRunFn>(dlsym(module, MX_CRASH_DIALOG_ENTRY)) : nullptr;
    }();
    return run;
}

GtkWidget* FindByName(GtkWidget* root, const char* name)
{
    if (root == nullptr)
        return nullptr;
    const char* own = gtk_widget_get_name(root);
    if (own != nullptr && std::strcmp(own, name) == 0)
        return root;
    if (!GTK_IS_CONTAINER(root))
        return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget* found = nullptr;
    for (GList* c = children; c != nullptr && found == nullptr; c = c->next)
        found = FindByName(GTK_WIDGET(c->data), name);
    g_list_free(children);
    return found;
}

std::string LabelText(GtkWidget* w)
{
    if (w == nullptr)
        return "<missing>";
    if (GTK_IS_BUTTON(w))
        return gtk_button_get_label(GTK_BUTTON(w));
    return gtk_label_get_text(GTK_LABEL(w));
}

bool Shown(GtkWidget* w)
{
    return w != nullptr && gtk_widget_get_visible(w);
}

// One dialog run: the description handed to the module, what its callbacks saw, and a script of
// steps executed one per timer tick on the dialog's own loop while the window is open.
struct DialogRun
{
    using Step = std::function<void(DialogRun&)>;

    MxCrashDialogDesc desc{};
    std::vector<Step> steps;
    size_t nextStep = 0;
    GtkWidget* window = nullptr;
    bool timedOut = false;
    bool tickDone = false;

    int startResult = 1;
    std::vector<std::string> sentTexts;
    MxCrashDialogNotifyFn notify = nullptr;
    uint64_t token = 0;
    std::vector<std::pair<int, std::string>> logs;

    DialogRun(bool ioCrash = false)
    {
        desc.version = MX_CRASH_DIALOG_VERSION;
        desc.size = sizeof(desc);
        desc.ioCrash = ioCrash ? 1 : 0;
        MxCrashDialogTexts& t = desc.texts;
        t.windowTitle = "Test crash dialog";
        t.crashDesc = "crash description";
        t.ioCrashDesc = "io crash description";
        t.pleaseDescribe = "please describe";
        t.pressRepairDesc = "press repair";
        t.sendReportButton = "Send it";
        t.repairButton = "Repair it";
        t.cancelButton = "Not now";
        t.sorryText = "sorry";
        t.progressText = "sending...";
        t.reportContentLink = "what is inside?";
        t.headerText = "Something went wrong";
        t.sendFailedText = "kept for later";
        t.sendNotSentText = "not sent";
        desc.startSending = [](void* ctx, const char* text, MxCrashDialogNotifyFn fn, uint64_t dialog)
        {
            auto& self = *static_cast<DialogRun*>(ctx);
            self.sentTexts.push_back(text);
            self.notify = fn;
            self.token = dialog;
            return self.startResult;
        };
        desc.log = [](void* ctx, int level, const char* text)
        { static_cast<DialogRun*>(ctx)->logs.emplace_back(level, text); };
        desc.context = this;
    }

    GtkWidget* Widget(const char* name) const { return FindByName(window, name); }
    bool Logged(int level, const std::string& part) const
    {
        for (const auto& l : logs)
            if (l.first == level && l.second.find(part) != std::string::npos)
                return true;
        return false;
    }

    static gboolean Tick(gpointer data)
    {
        auto& self = *static_cast<DialogRun*>(data);
        if (self.window == nullptr)
        {
            GList* tops = gtk_window_list_toplevels();
            for (GList* t = tops; t != nullptr; t = t->next)
                if (gtk_widget_get_visible(GTK_WIDGET(t->data)) &&
                    FindByName(GTK_WIDGET(t->data), "header-band"))
                    self.window = GTK_WIDGET(t->data);
            g_list_free(tops);
            return G_SOURCE_CONTINUE;
        }
        if (self.nextStep < self.steps.size())
            self.steps[self.nextStep++](self);
        if (self.nextStep < self.steps.size())
            return G_SOURCE_CONTINUE;
        self.tickDone = true;
        return G_SOURCE_REMOVE;
    }

    static gboolean Watchdog(gpointer data)
    {
        auto& self = *static_cast<DialogRun*>(data);
        self.timedOut = true;
        if (self.window != nullptr)
            gtk_window_close(GTK_WINDOW(self.window));
        return G_SOURCE_REMOVE;
    }

    // GTK reports misuse (a wrong widget type, a null object) as criticals and carries on; every
    // one of them during a run is a fault of the dialog.
    static std::vector<std::string>& Criticals()
    {
        static std::vector<std::string> list;
        return list;
    }
    static void RecordGLibMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer)
    {
        if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_ERROR))
            Criticals().push_back(std::string(domain ? domain : "") + ": " + message);
    }

    int Run()
    {
        Criticals().clear();
        GLogFunc previous = g_log_set_default_handler(RecordGLibMessage, nullptr);
        guint tick = g_timeout_add(100, Tick, this);
        guint watchdog = g_timeout_add_seconds(20, Watchdog, this);
        int result = LoadModule()(&desc);
        // Sources of a run that ended early must not fire into the next one.
        g_source_remove(watchdog);
        if (!tickDone)
            g_source_remove(tick);
        g_log_set_default_handler(previous, nullptr);
        for (const auto& message : Criticals())
            ADD_FAILURE() << message;
        return result;
    }
};

void Click(DialogRun& r, const char* name)
{
    GtkWidget* w = r.Widget(name);
    ASSERT_NE(w, nullptr) << name;
    gtk_button_clicked(GTK_BUTTON(w));
}

// Delivers a key press to the dialog's window the way the X server's events arrive: GTK routes it
// to the focused widget, its key bindings and the window's default button.
void SendKey(DialogRun& r, guint keyval)
{
    GdkWindow* window = gtk_widget_get_window(r.window);
    ASSERT_NE(window, nullptr);
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(window));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_window_get_display(window)), keyval,
                                          &keys, &count) &&
        count > 0)
    {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        event->key.group = static_cast<guint8>(keys[0].group);
    }
    g_free(keys);
    GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(window));
    gdk_event_set_device(event, gdk_seat_get_keyboard(seat));
    gtk_main_do_event(event);
    gdk_event_free(event);
}

void SaveWindow(DialogRun& r, const std::string& name)
{
    GdkWindow* w = gtk_widget_get_window(r.window);
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(w, 0, 0, gdk_window_get_width(w), gdk_window_get_height(w));
    ASSERT_NE(shot, nullptr);
    std::string folder = ScreenshotFolder();
    g_mkdir_with_parents(folder.c_str(), 0755);
    EXPECT_TRUE(gdk_pixbuf_save(shot, (folder + "/" + name).c_str(), "png", nullptr, nullptr));
    g_object_unref(shot);
}

class CrashDialogModule : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_server = new XServer();
        if (s_server->Ok())
        {
            setenv("DISPLAY", s_server->Display().c_str(), 1);
            unsetenv("WAYLAND_DISPLAY");
            setenv("NO_AT_BRIDGE", "1", 1);
            setenv("GDK_BACKEND", "x11", 1);
        }
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(LoadModule(), nullptr) << dlerror();
        if (!s_server->Ok())
            GTEST_SKIP() << s_server->Error();
    }
    static XServer* s_server;
    TempDir m_temp;
};
XServer* CrashDialogModule::s_server = nullptr;
} // namespace

TEST(CrashDialogModuleSeam, RefusesUnusableDescriptions)
{
    MxCrashDialogRunFn run = LoadModule();
    ASSERT_NE(run, nullptr) << dlerror();
    EXPECT_EQ(run(nullptr), MX_CRASH_DIALOG_FAILED_TO_OPEN);

    DialogRun wrongVersion;
    wrongVersion.desc.version = MX_CRASH_DIALOG_VERSION + 1;
    EXPECT_EQ(run(&wrongVersion.desc), MX_CRASH_DIALOG_FAILED_TO_OPEN);
    EXPECT_TRUE(wrongVersion.Logged(MX_CRASH_DIALOG_LOG_WARNING, "unusable description"));

    DialogRun noSender;
    noSender.desc.startSending = nullptr;
    EXPECT_EQ(run(&noSender.desc), MX_CRASH_DIALOG_FAILED_TO_OPEN);

    DialogRun wrongSize;
    wrongSize.desc.size = sizeof(MxCrashDialogDesc) - 8;
    EXPECT_EQ(run(&wrongSize.desc), MX_CRASH_DIALOG_FAILED_TO_OPEN);
    EXPECT_TRUE(wrongSize.logs.empty()) << "a description of another size must not be read further";
}

TEST_F(CrashDialogModule, ShowsTheTextsAndControlsOfEachMode)
{
    struct Case
    {
        bool io;
        const char* description;
        const char* prompt;
        const char* button;
        bool entryAndLink;
        const char* screenshot;
    };
    const Case cases[] = {
        {false, "crash description", "please describe", "Send it", true, "module-normal.png"},
        {true, "io crash description", "press repair", "Repair it", false, "module-io-crash.png"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.io ? "io crash" : "normal");
        DialogRun r(c.io);
        r.steps.push_back(
            [&](DialogRun& d)
            {
                EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d.window)), "Test crash dialog");
                EXPECT_EQ(LabelText(d.Widget("header-text")), "Something went wrong");
                EXPECT_EQ(LabelText(d.Widget("sorry-text")), "sorry");
                EXPECT_EQ(LabelText(d.Widget("description")), c.description);
                EXPECT_EQ(LabelText(d.Widget("prompt")), c.prompt);
                EXPECT_EQ(LabelText(d.Widget("default-button")), c.button);
                EXPECT_EQ(LabelText(d.Widget("cancel-button")), "Not now");
                EXPECT_EQ(Shown(d.Widget("description-entry")), c.entryAndLink);
                EXPECT_EQ(Shown(d.Widget("report-link")), c.entryAndLink);
                if (c.entryAndLink)
                {
                    EXPECT_EQ(LabelText(d.Widget("report-link")), "what is inside?");
                }
                // The idle state: no busy animation, no progress text, the default button is default.
                EXPECT_FALSE(Shown(d.Widget("progress-text")));
                EXPECT_FALSE(Shown(d.Widget("spinner")));
                EXPECT_TRUE(gtk_widget_has_default(d.Widget("default-button")));
                // The embedded pictures: the window icon at several sizes and the header picture.
                GList* icons = gtk_window_get_icon_list(GTK_WINDOW(d.window));
                EXPECT_GE(g_list_length(icons), 3u);
                g_list_free(icons);
                EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(d.Widget("header-picture"))),
                          GTK_IMAGE_SURFACE);
            });
        r.steps.push_back([&](DialogRun& d) { SaveWindow(d, c.screenshot); });
        r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
        EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_CANCELLED);
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(r.sentTexts.empty());
        for (const auto& line : r.logs)
            ADD_FAILURE() << "unexpected log line: " << line.second;
    }
}

TEST_F(CrashDialogModule, UntrustedTextsAreShownLiterally)
{
    DialogRun r;
    const char* markup = "<b>bold</b> & <a href=\"file:///etc\">x</a>";
    const char invalid[] = {'o', 'k', '\xC3', '\x28', '\xFF', 0};
    r.desc.texts.reportContentLink = markup;
    r.desc.texts.sorryText = invalid;
    r.desc.texts.headerText = nullptr;
    r.steps.push_back(
        [&](DialogRun& d)
        {
            EXPECT_EQ(LabelText(d.Widget("report-link")), markup);
            std::string sorry = LabelText(d.Widget("sorry-text"));
            EXPECT_TRUE(g_utf8_validate(sorry.c_str(), -1, nullptr));
            EXPECT_EQ(sorry.rfind("ok", 0), 0u) << sorry;
            EXPECT_EQ(LabelText(d.Widget("header-text")), "");
        });
    r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
    EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_CANCELLED);
}

TEST_F(CrashDialogModule, EnterSendsAndTheSenderClosesTheDialogFromItsThread)
{
    DialogRun r;
    std::thread sender;
    r.steps.push_back(
        [](DialogRun& d)
        { gtk_entry_set_text(GTK_ENTRY(d.Widget("description-entry")), "I was opening the map \xC3\xA9"); });
    r.steps.push_back([](DialogRun& d) { SendKey(d, GDK_KEY_Return); });
    // A key-activated button shows itself pressed for a moment before it reports the click.
    r.steps.push_back([](DialogRun&) {});
    r.steps.push_back([](DialogRun&) {});
    r.steps.push_back([](DialogRun&) {});
    r.steps.push_back(
        [](DialogRun& d)
        {
            ASSERT_EQ(d.sentTexts.size(), 1u);
            EXPECT_EQ(d.sentTexts[0], "I was opening the map \xC3\xA9");
            // The sending state: nothing can be pressed, the busy animation and progress text show.
            EXPECT_FALSE(gtk_widget_get_sensitive(d.Widget("description-entry")));
            EXPECT_FALSE(gtk_widget_get_sensitive(d.Widget("default-button")));
            EXPECT_FALSE(gtk_widget_get_sensitive(d.Widget("cancel-button")));
            EXPECT_TRUE(Shown(d.Widget("progress-text")));
            EXPECT_EQ(LabelText(d.Widget("progress-text")), "sending...");
            GtkWidget* spinner = d.Widget("spinner");
            ASSERT_TRUE(Shown(spinner));
            gboolean active = FALSE;
            g_object_get(spinner, "active", &active, nullptr);
            EXPECT_TRUE(active);
        });
    r.steps.push_back([](DialogRun& d) { SaveWindow(d, "module-sending.png"); });
    // A second press while sending does not start a second sender.
    r.steps.push_back([](DialogRun& d) { gtk_button_clicked(GTK_BUTTON(d.Widget("default-button"))); });
    r.steps.push_back(
        [&](DialogRun& d)
        {
            EXPECT_EQ(d.sentTexts.size(), 1u);
            sender = std::thread(
                [fn = d.notify, token = d.token]
                {
                    fn(token, MX_CRASH_DIALOG_SEND_DELIVERED);
                    fn(token, MX_CRASH_DIALOG_SEND_DELIVERED); // twice: harmless
                });
        });
    r.steps.push_back([](DialogRun&) {}); // the window stays open until the idle callback ran
    r.steps.push_back([](DialogRun&) {});
    EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_SENT);
    if (sender.joinable())
        sender.join();
    EXPECT_FALSE(r.timedOut);
}

// A sender that could not deliver: the dialog says so in one line (the spinner stops, only the
// cancel button is left) and then closes by itself as sent, since nothing is left to send; closing it
// early ends the same way.
TEST_F(CrashDialogModule, ASendThatWasNotDeliveredIsToldBeforeTheDialogCloses)
{
    struct Case
    {
        int outcome;
        const char* text;
        bool closeEarly;
    };
    const Case cases[] = {
        {MX_CRASH_DIALOG_SEND_KEPT, "kept for later", false},
        {MX_CRASH_DIALOG_SEND_KEPT, "kept for later", true},
        {MX_CRASH_DIALOG_SEND_FAILED, "not sent", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        SCOPED_TRACE(c.closeEarly);
        DialogRun r;
        r.steps.push_back([](DialogRun& d) { Click(d, "default-button"); });
        r.steps.push_back([&c](DialogRun& d) { d.notify(d.token, c.outcome); });
        r.steps.push_back(
            [&c](DialogRun& d)
            {
                GtkWidget* text = d.Widget("send-failed-text");
                ASSERT_NE(text, nullptr) << "the progress line now tells what became of the report";
                EXPECT_EQ(LabelText(text), c.text);
                EXPECT_FALSE(Shown(d.Widget("spinner")));
                EXPECT_TRUE(gtk_widget_get_sensitive(d.Widget("cancel-button")));
                EXPECT_FALSE(gtk_widget_get_sensitive(d.Widget("default-button")));
                if (c.outcome == MX_CRASH_DIALOG_SEND_KEPT && !c.closeEarly)
                    SaveWindow(d, "module-send-failed.png");
            });
        if (c.closeEarly)
            r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
        EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_SENT);
        EXPECT_FALSE(r.timedOut);
    }
}

TEST_F(CrashDialogModule, CancelWaysEndWithCancelledInEveryState)
{
    struct Case
    {
        const char* name;
        bool whileSending;
        std::function<void(DialogRun&)> cancel;
    };
    const Case cases[] = {
        {"cancel button", false, [](DialogRun& d) { Click(d, "cancel-button"); }},
        {"escape", false, [](DialogRun& d) { SendKey(d, GDK_KEY_Escape); }},
        {"close box", false, [](DialogRun& d) { gtk_window_close(GTK_WINDOW(d.window)); }},
        {"escape while sending", true, [](DialogRun& d) { SendKey(d, GDK_KEY_Escape); }},
        {"close box while sending", true, [](DialogRun& d) { gtk_window_close(GTK_WINDOW(d.window)); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        DialogRun r;
        if (c.whileSending)
            r.steps.push_back([](DialogRun& d) { Click(d, "default-button"); });
        r.steps.push_back(c.cancel);
        EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_CANCELLED);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.sentTexts.size(), c.whileSending ? 1u : 0u);
    }
}

TEST_F(CrashDialogModule, AStaleNotificationDoesNotCloseTheNextDialog)
{
    DialogRun first;
    first.steps.push_back([](DialogRun& d) { Click(d, "default-button"); });
    first.steps.push_back([](DialogRun& d) { SendKey(d, GDK_KEY_Escape); });
    ASSERT_EQ(first.Run(), MX_CRASH_DIALOG_CANCELLED);
    ASSERT_NE(first.notify, nullptr);

    // The first dialog's sender finishes late, while the next dialog is open.
    DialogRun second;
    second.steps.push_back([&](DialogRun&) { first.notify(first.token, MX_CRASH_DIALOG_SEND_DELIVERED); });
    second.steps.push_back([](DialogRun&) {});
    second.steps.push_back([](DialogRun&) {});
    second.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
    EXPECT_EQ(second.Run(), MX_CRASH_DIALOG_CANCELLED);
    EXPECT_EQ(second.nextStep, second.steps.size()) << "the stale notification closed the dialog";
}

TEST_F(CrashDialogModule, ASenderThatCannotStartClosesAsCancelled)
{
    DialogRun r;
    r.startResult = 0;
    r.steps.push_back([](DialogRun& d) { SendKey(d, GDK_KEY_Return); });
    r.steps.push_back([](DialogRun&) {});
    EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_CANCELLED);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.sentTexts.size(), 1u);
    EXPECT_TRUE(r.Logged(MX_CRASH_DIALOG_LOG_ERROR, "Could not start sending"));
}

TEST_F(CrashDialogModule, RepairStartsTheLauncherWithItsPathAsOnlyArgument)
{
    // A path with a space, quotes and shell characters: none of it may be interpreted.
    std::string dir = m_temp.Join("game dir \"$(x)\"");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string launcher = dir + "/launch;me.sh";
    std::string marker = m_temp.Join("launched.txt");
    WriteScript(launcher, "printf '%s|%s\\n' \"$0\" \"$#\" > '" + marker + "'\n");

    struct Case
    {
        const char* name;
        std::string path;
        bool starts;
    };
    const Case cases[] = {
        {"launcher", launcher, true},
        {"missing launcher", m_temp.Join("nope"), false},
        {"no launcher", "", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        unlink(marker.c_str());
        DialogRun r(true);
        r.desc.launcherPath = c.path.c_str();
        r.steps.push_back([](DialogRun& d) { SendKey(d, GDK_KEY_Return); });
        EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_REPAIR);
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(r.sentTexts.empty()) << "repair never sends from the dialog";
        if (c.starts)
        {
            ASSERT_TRUE(WaitForFile(marker, 10000));
            usleep(100 * 1000);
            EXPECT_EQ(ReadWholeFile(marker), launcher + "|0\n");
        }
        else
        {
            usleep(200 * 1000);
            EXPECT_NE(access(marker.c_str(), F_OK), 0);
            EXPECT_EQ(r.Logged(MX_CRASH_DIALOG_LOG_WARNING, "Could not start the launcher"), !c.path.empty());
        }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0)
    {
    }
}

TEST_F(CrashDialogModule, TheLinkOpensTheReportFolderThroughTheDesktop)
{
    // A stand-in for the desktop's opener, found first in PATH.
    std::string bin = m_temp.Join("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    std::string marker = m_temp.Join("opened.txt");
    WriteScript(bin + "/xdg-open", "printf '%s|%s\\n' \"$#\" \"$1\" > '" + marker + "'\n");
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

    std::string folder = m_temp.Join("Exceptions/2026.12.10 11.00.00");
    g_mkdir_with_parents(folder.c_str(), 0755);
    struct Case
    {
        const char* name;
        std::string folder;
        std::string opened; // empty: nothing may be opened
    };
    const Case cases[] = {
        {"report folder", folder, "1|file://" + m_temp.Path() + "/Exceptions/2026.12.10%2011.00.00\n"},
        {"no report folder (test run)", "", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        unlink(marker.c_str());
        DialogRun r;
        r.desc.reportFolder = c.folder.c_str();
        r.steps.push_back(
            [](DialogRun& d)
            {
                gboolean handled = FALSE;
                g_signal_emit_by_name(d.Widget("report-link"), "activate-link", "report-folder", &handled);
                EXPECT_TRUE(handled);
            });
        r.steps.push_back([](DialogRun&) {});
        r.steps.push_back([](DialogRun&) {});
        r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
        EXPECT_EQ(r.Run(), MX_CRASH_DIALOG_CANCELLED);
        if (!c.opened.empty())
        {
            ASSERT_TRUE(WaitForFile(marker, 10000));
            usleep(100 * 1000);
            EXPECT_EQ(ReadWholeFile(marker), c.opened);
        }
        else
        {
            usleep(200 * 1000);
            EXPECT_NE(access(marker.c_str(), F_OK), 0);
            EXPECT_TRUE(r.Logged(MX_CRASH_DIALOG_LOG_WARNING, "no report folder"));
        }
    }
    setenv("PATH", oldPath.c_str(), 1);
}

// From GDK's X11 backend; declared here because its header's X11 macros clash with the test
// framework's names.
extern "C" void gdk_x11_display_set_window_scale(GdkDisplay* display, gint scale);

namespace
{
const char* const kAllLanguages[] = {"english", "german",     "french",    "italian",  "spanish",
                                     "russian", "chinese",    "tchinese",  "japanese", "korean",
                                     "thai",    "indonesian", "vietnamese"};

// The texts of a shipped table: "KEY" "text" pairs, with the tables' escapes.
std::map<std::string, std::string> ReadTable(const std::string& language)
{
    std::ifstream in(std::string(STRING_TABLES_SOURCE_DIR) + "/" + language + "/crashreporter.txt");
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::map<std::string, std::string> table;
    const std::regex pair("\"([A-Z_]+)\"[ \\t]+\"((?:[^\"\\\\]|\\\\.)*)\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pair); it != std::sregex_iterator(); ++it)
    {
        std::string value;
        const std::string raw = (*it)[2];
        for (size_t i = 0; i < raw.size(); ++i)
        {
            if (raw[i] == '\\' && i + 1 < raw.size())
            {
                const char c = raw[++i];
                value += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
            else
                value += raw[i];
        }
        table[(*it)[1]] = value;
    }
    return table;
}

// Every visible label shows its whole text: not ellipsized, as high as its text needs at the width
// it got (as wide, for a label that does not wrap), and inside the window; the window fits a
// 1280x720 screen.
void CheckLayout(GtkWidget* window, GtkWidget* widget, const std::string& where)
{
    if (widget == nullptr || !gtk_widget_get_visible(widget) || !gtk_widget_get_mapped(widget))
        return;
    if (widget == window)
    {
        GtkAllocation a;
        gtk_widget_get_allocation(window, &a);
        EXPECT_LE(a.width, 1280) << where;
        EXPECT_LE(a.height, 720) << where;
    }
    if (GTK_IS_LABEL(widget))
    {
        GtkLabel* label = GTK_LABEL(widget);
        const std::string text = gtk_label_get_text(label);
        GtkAllocation a;
        gtk_widget_get_allocation(widget, &a);
        EXPECT_FALSE(pango_layout_is_ellipsized(gtk_label_get_layout(label)))
            << where << ": '" << text << "' is cut";
        // Preferred sizes count the margins; the allocation does not.
        const int marginX = gtk_widget_get_margin_start(widget) + gtk_widget_get_margin_end(widget);
        const int marginY = gtk_widget_get_margin_top(widget) + gtk_widget_get_margin_bottom(widget);
        int minimum = 0, natural = 0;
        if (gtk_label_get_line_wrap(label))
        {
            gtk_widget_get_preferred_height_for_width(widget, a.width + marginX, &minimum, &natural);
            EXPECT_GE(a.height, natural - marginY) << where << ": '" << text << "' needs more height";
        }
        else
        {
            gtk_widget_get_preferred_width(widget, &minimum, &natural);
            EXPECT_GE(a.width, natural - marginX) << where << ": '" << text << "' needs more width";
            gtk_widget_get_preferred_height(widget, &minimum, &natural);
            EXPECT_GE(a.height, natural - marginY) << where << ": '" << text << "' needs more height";
        }
        int x = 0, y = 0;
        ASSERT_TRUE(gtk_widget_translate_coordinates(widget, window, 0, 0, &x, &y));
        GtkAllocation w;
        gtk_widget_get_allocation(window, &w);
        EXPECT_TRUE(x >= 0 && y >= 0 && x + a.width <= w.width && y + a.height <= w.height)
            << where << ": '" << text << "' lies outside the window";
    }
    if (GTK_IS_CONTAINER(widget))
    {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* c = children; c != nullptr; c = c->next)
            CheckLayout(window, GTK_WIDGET(c->data), where);
        g_list_free(children);
    }
}
} // namespace

// Each shipped language, at 1x and 2x, in both modes and through the sending states: no text is
// cut and the window fits the screen. One screenshot a language (1x, the normal dialog).
TEST_F(CrashDialogModule, EveryLanguageFitsWithoutCutTextAtBothScales)
{
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    GdkDisplay* display = gdk_display_get_default();
    ASSERT_STREQ(G_OBJECT_TYPE_NAME(display), "GdkX11Display");
    for (int scale : {1, 2})
    {
        gdk_x11_display_set_window_scale(display, scale);
        for (const char* language : kAllLanguages)
        {
            const std::map<std::string, std::string> table = ReadTable(language);
            ASSERT_EQ(table.size(), 14u) << language;
            for (bool io : {false, true})
            {
                const std::string where =
                    std::string(language) + (io ? " io" : "") + " x" + std::to_string(scale);
                SCOPED_TRACE(where);
                DialogRun r(io);
                MxCrashDialogTexts& t = r.desc.texts;
                auto text = [&table](const char* key) { return table.at(key).c_str(); };
                t.windowTitle = text("WINDOW_TITLE");
                t.crashDesc = text("CRASH_DESC");
                t.ioCrashDesc = text("IO_CRASH_DESC");
                t.pleaseDescribe = text("PLEASE_DESCRIBE");
                t.pressRepairDesc = text("PRESS_REPAIR_DESC");
                t.sendReportButton = text("SEND_REPORT_BUTTON");
                t.repairButton = text("REPAIR_BUTTON");
                t.cancelButton = text("CANCEL_BUTTON");
                t.sorryText = text("SORRY_TEXT");
                t.progressText = text("PROGRESS_TEXT");
                t.reportContentLink = text("REPORT_CONTENT_LINK");
                t.headerText = text("HEADER_TEXT");
                t.sendFailedText = text("SEND_FAILED_TEXT");
                t.sendNotSentText = text("SEND_NOT_SENT_TEXT");
                r.steps.push_back(
                    [&](DialogRun& d)
                    {
                        EXPECT_EQ(gtk_widget_get_scale_factor(d.window), scale);
                        CheckLayout(d.window, d.window, where);
                        if (scale == 1 && !io)
                            SaveWindow(d, std::string("dialog-") + language + ".png");
                    });
                if (io)
                    r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
                else
                {
                    r.steps.push_back([](DialogRun& d) { Click(d, "default-button"); });
                    r.steps.push_back([&](DialogRun& d)
                                      { CheckLayout(d.window, d.window, where + " sending"); });
                    r.steps.push_back([](DialogRun& d) { d.notify(d.token, MX_CRASH_DIALOG_SEND_KEPT); });
                    r.steps.push_back([&](DialogRun& d)
                                      { CheckLayout(d.window, d.window, where + " kept"); });
                    r.steps.push_back([](DialogRun& d) { Click(d, "cancel-button"); });
                }
                r.Run();
                EXPECT_FALSE(r.timedOut);
            }
        }
    }
    gdk_x11_display_set_window_scale(display, 1);
}

TEST(CrashDialogLauncher, StartsDirectlyWithDefaultSignalsOrReportsWhy)
{
    TempDir temp;
    // The reporter ignores SIGPIPE; a started program must not inherit that.
    struct sigaction old
    {
    };
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);

    std::string script = temp.Join("it's a \"launcher\".sh");
    std::string marker = temp.Join("out.txt");
    WriteScript(script,
                "grep SigIgn /proc/$$/status > '" + marker + "'\necho \"$0|$#\" >> '" + marker + "'\n");
    std::string plain = temp.Join("not-executable.sh");
    temp.WriteFile("not-executable.sh", "#!/bin/sh\n");

    struct Case
    {
        std::string path;
        int expected;
    };
    const Case cases[] = {{script, 0}, {temp.Join("missing"), ENOENT}, {plain, EACCES}, {"", ENOENT}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        const char* argv[] = {c.path.c_str(), nullptr};
        int pid = 0;
        EXPECT_EQ(Morvex::CrashDialog::SpawnProgram(c.path.c_str(), argv, false, &pid), c.expected);
        if (c.expected == 0)
        {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            std::string out = ReadWholeFile(marker);
            // Bit 12 of the ignored-signal mask is SIGPIPE (13).
            unsigned long long mask = std::strtoull(out.substr(out.find(':') + 1).c_str(), nullptr, 16);
            EXPECT_EQ(mask & (1ull << 12), 0u) << out;
            EXPECT_NE(out.find(script + "|0\n"), std::string::npos) << out;
        }
    }
    EXPECT_EQ(Morvex::CrashDialog::StartLauncher(nullptr), ENOENT);
    sigaction(SIGPIPE, &old, nullptr);
}
