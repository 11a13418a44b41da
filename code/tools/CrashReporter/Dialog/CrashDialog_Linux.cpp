// The crash dialog as a GTK 3 window. This file is built into libCrashReporterDialog.so, which the
// reporter loads at run time, so the reporter itself starts and sends without GTK or a display.
//
// Mapping of the dialog template to GTK (sizes in logical pixels; one dialog unit of the template
// is about 1.5 px across and 1.6 px down at the template's font, which gives the 512 x 318 window):
// - the white header band (50 units high, about 81 px) holds the header picture at x = 16 and the
//   header text from x = 80 to 10 px before the right edge, single line, ellipsized, centred;
// - the etched lines are GtkSeparators, the greyed "Crash Reporter" label sits on the lower one;
// - the busy animation is a GtkSpinner, the link a GtkLabel link that opens the report folder;
// - the default push button is the window's default widget, so Enter in the description box sends;
//   Escape and the close box cancel in every state, as the cancel button does while it is enabled.
// The sender's "done" message becomes an idle callback on the GTK main loop (g_idle_add is safe
// from any thread); a token tells a stale notification of an earlier dialog from the current one.

#include "CrashDialogModule.h"
#include "Launcher.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

extern "C" GResource* morvex_crash_dialog_get_resource(void);
extern "C" void morvex_crash_dialog_register_resource(void);

namespace
{
constexpr const char* kResourcePrefix = "/org/morvex/crashreporter/";
constexpr int kHeaderHeight = 81;
constexpr int kDialogWidth = 512;
constexpr int kDialogHeight = 318;
constexpr int kContentMargin = 21;
// The Win32 edit box held at most 2047 UTF-16 units; GTK counts characters, which is the same for
// all but the rare characters outside the basic plane. The caller cuts the comments again anyway.
constexpr int kMaxDescriptionChars = 2047;

struct Dialog
{
    const MxCrashDialogDesc* desc = nullptr;
    uint64_t token = 0;
    GMainLoop* loop = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* headerImage = nullptr;
    GtkWidget* entry = nullptr;
    GtkWidget* sendButton = nullptr;
    GtkWidget* cancelButton = nullptr;
    GtkWidget* spinner = nullptr;
    GtkWidget* progress = nullptr;
    bool sending = false;
    bool sendFailedShown = false;
    bool finished = false;
    int result = MX_CRASH_DIALOG_CANCELLED;
};

// The open dialog; touched on the dialog's thread only. Notifications from other threads carry a
// token and are checked against it on that thread.
Dialog* GDialog = nullptr;
std::atomic<uint64_t> GNextToken{1};

void LogLine(const MxCrashDialogDesc* desc, int level, const char* format, ...) G_GNUC_PRINTF(3, 4);
void LogLine(const MxCrashDialogDesc* desc, int level, const char* format, ...)
{
    if (desc == nullptr || desc->log == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    desc->log(desc->context, level, line);
}

// Texts come from string tables, which are untrusted files: a null text is empty and invalid
// UTF-8 is shown with replacement characters rather than rejected by GTK.
std::string SafeText(const char* text)
{
    if (text == nullptr)
        return std::string();
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string out(valid);
    g_free(valid);
    return out;
}

void Finish(Dialog& d, int result)
{
    if (d.finished)
        return;
    d.finished = true;
    d.result = result;
    g_main_loop_quit(d.loop);
}

struct SenderDone
{
    uint64_t token;
    int outcome; // MX_CRASH_DIALOG_SEND_*
};

// How long the player sees that the report was kept for later before the dialog closes.
constexpr guint kSendFailedShowMs = 3000;

gboolean OnSendFailedShown(gpointer data)
{
    const uint64_t token = static_cast<SenderDone*>(data)->token;
    if (GDialog != nullptr && GDialog->token == token)
        Finish(*GDialog, MX_CRASH_DIALOG_SENT);
    return G_SOURCE_REMOVE;
}

void FreeSenderDone(gpointer data)
{
    delete static_cast<SenderDone*>(data);
}

gboolean OnSenderDoneIdle(gpointer data)
{
    const SenderDone done = *static_cast<SenderDone*>(data);
    // A notification for a dialog that has closed (cancelled while sending) finds no dialog or
    // another token and is dropped.
    if (GDialog == nullptr || GDialog->token != done.token || !GDialog->sending || GDialog->finished)
        return G_SOURCE_REMOVE;
    Dialog& d = *GDialog;
    if (done.outcome == MX_CRASH_DIALOG_SEND_DELIVERED)
    {
        Finish(d, MX_CRASH_DIALOG_SENT);
        return G_SOURCE_REMOVE;
    }
    // The player is told the truth in one line: the report was kept for later, or it could not be
    // sent at all. Only the cancel button stays, to close at once.
    if (d.sendFailedShown)
        return G_SOURCE_REMOVE;
    d.sendFailedShown = true;
    gtk_spinner_stop(GTK_SPINNER(d.spinner));
    gtk_widget_hide(d.spinner);
    const char* text = done.outcome == MX_CRASH_DIALOG_SEND_KEPT ? d.desc->texts.sendFailedText
                                                                 : d.desc->texts.sendNotSentText;
    gtk_label_set_text(GTK_LABEL(d.progress), SafeText(text).c_str());
    gtk_widget_set_name(d.progress, "send-failed-text");
    gtk_widget_set_sensitive(d.cancelButton, TRUE);
    g_timeout_add_full(G_PRIORITY_DEFAULT, kSendFailedShowMs, OnSendFailedShown,
                       new SenderDone{done.token, done.outcome}, FreeSenderDone);
    return G_SOURCE_REMOVE;
}

// Handed to the caller's startSending; may run on any thread, any number of times.
void NotifySenderDone(uint64_t dialog, int outcome)
{
    g_idle_add_full(G_PRIORITY_DEFAULT, OnSenderDoneIdle, new SenderDone{dialog, outcome}, FreeSenderDone);
}

struct OpenerWatch
{
    uint64_t token;
};

void OnOpenerExited(GPid pid, gint status, gpointer data)
{
    const uint64_t token = static_cast<OpenerWatch*>(data)->token;
    delete static_cast<OpenerWatch*>(data);
    g_spawn_close_pid(pid);
    if (GDialog != nullptr && GDialog->token == token && !g_spawn_check_wait_status(status, nullptr))
        LogLine(GDialog->desc, MX_CRASH_DIALOG_LOG_WARNING, "The desktop could not open the report folder");
}

void OpenReportFolder(Dialog& d)
{
    const char* folder = d.desc->reportFolder;
    if (folder == nullptr || folder[0] == 0)
    {
        // A test run has no report folder; handing an empty path to the desktop would open
        // whatever it picks, so nothing is opened.
        LogLine(d.desc, MX_CRASH_DIALOG_LOG_WARNING, "There is no report folder to open");
        return;
    }
    // A file URI keeps the path from being read as an option or a URL by the opener.
    GFile* file = g_file_new_for_path(folder);
    gchar* uri = g_file_get_uri(file);
    g_object_unref(file);

    const char* argv[] = {"xdg-open", uri, nullptr};
    int pid = 0;
    int rc = Morvex::CrashDialog::SpawnProgram("xdg-open", argv, true, &pid);
    if (rc == 0)
    {
        g_child_watch_add(pid, OnOpenerExited, new OpenerWatch{d.token});
    }
    else
    {
        GError* error = nullptr;
        if (!gtk_show_uri_on_window(GTK_WINDOW(d.window), uri, GDK_CURRENT_TIME, &error))
        {
            LogLine(d.desc, MX_CRASH_DIALOG_LOG_WARNING, "Could not open the report folder '%s': %s", folder,
                    error ? error->message : "unknown error");
            g_clear_error(&error);
        }
    }
    g_free(uri);
}

gboolean OnLinkActivated(GtkLabel*, gchar*, gpointer data)
{
    OpenReportFolder(*static_cast<Dialog*>(data));
    return TRUE; // handled: GTK must not try the placeholder href itself
}

void StartSending(Dialog& d)
{
    if (d.sending || d.finished)
        return;
    d.sending = true;
    gtk_widget_set_sensitive(d.entry, FALSE);
    gtk_widget_set_sensitive(d.sendButton, FALSE);
    gtk_widget_set_sensitive(d.cancelButton, FALSE);
    gtk_widget_show(d.spinner);
    gtk_spinner_start(GTK_SPINNER(d.spinner));
    gtk_widget_show(d.progress);

    // The entry owns its text; copy it so that the callee may take as long as it likes.
    std::string text = gtk_entry_get_text(GTK_ENTRY(d.entry));
    if (!d.desc->startSending(d.desc->context, text.c_str(), NotifySenderDone, d.token))
    {
        // Without a sender nothing would ever close the dialog as sent; closing it as cancelled
        // lets the caller send the report itself.
        LogLine(d.desc, MX_CRASH_DIALOG_LOG_ERROR, "Could not start sending from the crash dialog");
        Finish(d, MX_CRASH_DIALOG_CANCELLED);
    }
}

void Repair(Dialog& d)
{
    const char* launcher = d.desc->launcherPath;
    if (launcher != nullptr && launcher[0] != 0)
    {
        int rc = Morvex::CrashDialog::StartLauncher(launcher);
        // The user is not told: the dialog closes as after any repair, and the log keeps the cause.
        if (rc != 0)
            LogLine(d.desc, MX_CRASH_DIALOG_LOG_WARNING, "Could not start the launcher '%s': %s", launcher,
                    std::strerror(rc));
        else
            LogLine(d.desc, MX_CRASH_DIALOG_LOG_INFO, "Started the launcher '%s'", launcher);
    }
    Finish(d, MX_CRASH_DIALOG_REPAIR);
}

void OnDefaultClicked(GtkButton*, gpointer data)
{
    Dialog& d = *static_cast<Dialog*>(data);
    if (d.desc->ioCrash)
        Repair(d);
    else
        StartSending(d);
}

void OnEntryActivated(GtkEntry*, gpointer data)
{
    OnDefaultClicked(nullptr, data);
}

// Cancel, Escape and the close box. Once the sender has finished (the dialog is only saying that
// the report was kept for later), closing is no longer a cancel: there is nothing left to send.
void CloseByPlayer(Dialog& d)
{
    Finish(d, d.sendFailedShown ? MX_CRASH_DIALOG_SENT : MX_CRASH_DIALOG_CANCELLED);
}

void OnCancelClicked(GtkButton*, gpointer data)
{
    CloseByPlayer(*static_cast<Dialog*>(data));
}

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data)
{
    CloseByPlayer(*static_cast<Dialog*>(data));
    return TRUE; // the window is destroyed by the entry point, not by GTK
}

gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data)
{
    if (event->keyval == GDK_KEY_Escape)
    {
        CloseByPlayer(*static_cast<Dialog*>(data));
        return TRUE;
    }
    return FALSE;
}

GdkPixbuf* LoadPicture(const char* name, int size, const MxCrashDialogDesc* desc)
{
    std::string path = std::string(kResourcePrefix) + name;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_resource_at_scale(path.c_str(), size, size, TRUE, &error);
    if (pixbuf == nullptr)
    {
        // Pictures are decoration: without an SVG loader the dialog still works without them.
        LogLine(desc, MX_CRASH_DIALOG_LOG_WARNING, "Could not load the picture '%s': %s", name,
                error ? error->message : "unknown error");
        g_clear_error(&error);
    }
    return pixbuf;
}

// Renders the SVG pictures at the window's scale factor so that they stay sharp at 2x.
void UpdatePictures(Dialog& d)
{
    const int scale = gtk_widget_get_scale_factor(d.window);
    if (GdkPixbuf* header = LoadPicture("header-picture.svg", 48 * scale, d.desc))
    {
        cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(header, scale, nullptr);
        gtk_image_set_from_surface(GTK_IMAGE(d.headerImage), surface);
        cairo_surface_destroy(surface);
        g_object_unref(header);
    }
    GList* icons = nullptr;
    for (int size : {16, 24, 32, 48, 64, 128})
    {
        if (GdkPixbuf* icon = LoadPicture("window-icon.svg", size, d.desc))
            icons = g_list_append(icons, icon);
        else
            break;
    }
    if (icons != nullptr)
    {
        gtk_window_set_icon_list(GTK_WINDOW(d.window), icons);
        g_list_free_full(icons, g_object_unref);
    }
}

// Brings the dialog to the front once it is on screen (the original asked for the foreground
// window at start-up); presenting a mapped window also gives it the keyboard where no window
// manager would.
gboolean OnMapped(GtkWidget* widget, GdkEvent*, gpointer)
{
    gtk_window_present_with_time(GTK_WINDOW(widget), GDK_CURRENT_TIME);
    return FALSE;
}

void OnScaleChanged(GObject*, GParamSpec*, gpointer data)
{
    UpdatePictures(*static_cast<Dialog*>(data));
}

// Every text of the dialog wraps: a translation is often much longer than the English text, and a
// cut sentence tells the player nothing.
GtkWidget* MakeLabel(const std::string& text, const char* name, bool wrap)
{
    GtkWidget* label = gtk_label_new(text.c_str());
    if (name != nullptr)
        gtk_widget_set_name(label, name);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    if (wrap)
    {
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
        // A small natural width lets the label take the window's width and wrap inside it instead
        // of widening the window to its longest line.
        gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    }
    else
    {
        gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
        gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
    }
    return label;
}

void ApplyStyle()
{
    GtkCssProvider* provider = gtk_css_provider_new();
    std::string path = std::string(kResourcePrefix) + "dialog.css";
    gtk_css_provider_load_from_resource(provider, path.c_str());
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

void BuildWindow(Dialog& d)
{
    const MxCrashDialogTexts& t = d.desc->texts;
    const bool io = d.desc->ioCrash != 0;

    d.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(d.window);
    gtk_window_set_title(window, SafeText(t.windowTitle).c_str());
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_set_modal(window, TRUE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_widget_set_name(d.window, "crash-dialog");

    GtkWidget* root = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_size_request(root, kDialogWidth, kDialogHeight);
    gtk_container_add(GTK_CONTAINER(d.window), root);

    // Header band: picture at x = 16, text from x = 80.
    GtkWidget* header = gtk_event_box_new();
    gtk_widget_set_name(header, "header-band");
    gtk_widget_set_size_request(header, -1, kHeaderHeight);
    GtkWidget* headerRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_container_add(GTK_CONTAINER(header), headerRow);
    d.headerImage = gtk_image_new();
    gtk_widget_set_name(d.headerImage, "header-picture");
    gtk_widget_set_size_request(d.headerImage, 48, 48);
    gtk_widget_set_margin_start(d.headerImage, 16);
    gtk_widget_set_valign(d.headerImage, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(headerRow), d.headerImage, FALSE, FALSE, 0);
    GtkWidget* headerText = MakeLabel(SafeText(t.headerText), "header-text", true);
    gtk_widget_set_margin_start(headerText, 80 - 16 - 48);
    gtk_widget_set_margin_end(headerText, 10);
    gtk_widget_set_valign(headerText, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(headerRow), headerText, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(root), header, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(root), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL), FALSE, FALSE, 0);

    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_margin_start(content, kContentMargin);
    gtk_widget_set_margin_end(content, kContentMargin);
    gtk_widget_set_margin_top(content, 8);
    gtk_box_pack_start(GTK_BOX(root), content, FALSE, FALSE, 0);

    GtkWidget* sorry = MakeLabel(SafeText(t.sorryText), "sorry-text", true);
    gtk_box_pack_start(GTK_BOX(content), sorry, FALSE, FALSE, 0);

    GtkWidget* description = MakeLabel(SafeText(io ? t.ioCrashDesc : t.crashDesc), "description", true);
    gtk_widget_set_margin_top(description, 8);
    gtk_box_pack_start(GTK_BOX(content), description, FALSE, FALSE, 0);

    if (!io)
    {
        // The text is escaped: a string table can never inject markup or a link target.
        gchar* escaped = g_markup_escape_text(SafeText(t.reportContentLink).c_str(), -1);
        std::string markup = std::string("<a href=\"report-folder\">") + escaped + "</a>";
        g_free(escaped);
        GtkWidget* link = gtk_label_new(nullptr);
        gtk_widget_set_name(link, "report-link");
        gtk_label_set_markup(GTK_LABEL(link), markup.c_str());
        gtk_label_set_xalign(GTK_LABEL(link), 0.0f);
        gtk_widget_set_halign(link, GTK_ALIGN_START);
        gtk_widget_set_margin_top(link, 6);
        g_signal_connect(link, "activate-link", G_CALLBACK(OnLinkActivated), &d);
        gtk_box_pack_start(GTK_BOX(content), link, FALSE, FALSE, 0);
    }

    GtkWidget* prompt = MakeLabel(SafeText(io ? t.pressRepairDesc : t.pleaseDescribe), "prompt", true);
    gtk_widget_set_margin_top(prompt, 6);
    gtk_box_pack_start(GTK_BOX(content), prompt, FALSE, FALSE, 0);

    d.entry = gtk_entry_new();
    gtk_widget_set_name(d.entry, "description-entry");
    gtk_entry_set_max_length(GTK_ENTRY(d.entry), kMaxDescriptionChars);
    // Enter in the text box sends at once. Through the window's default button it would go first
    // through the button's pressed look, a quarter of a second before anything is sent.
    g_signal_connect(d.entry, "activate", G_CALLBACK(OnEntryActivated), &d);
    gtk_widget_set_margin_top(d.entry, 4);
    gtk_box_pack_start(GTK_BOX(content), d.entry, FALSE, FALSE, 0);
    gtk_widget_set_no_show_all(d.entry, io);

    gtk_box_pack_start(GTK_BOX(root), gtk_box_new(GTK_ORIENTATION_VERTICAL, 0), TRUE, TRUE, 0);

    // The line above the buttons with the greyed product label resting on it near the right.
    GtkWidget* brandRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    GtkWidget* lineLeft = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_widget_set_valign(lineLeft, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(brandRow), lineLeft, TRUE, TRUE, 0);
    GtkWidget* brand = gtk_label_new("Crash Reporter");
    gtk_widget_set_name(brand, "brand-label");
    gtk_widget_set_sensitive(brand, FALSE);
    gtk_box_pack_start(GTK_BOX(brandRow), brand, FALSE, FALSE, 0);
    GtkWidget* lineRight = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_widget_set_valign(lineRight, GTK_ALIGN_CENTER);
    gtk_widget_set_size_request(lineRight, 21, -1);
    gtk_box_pack_start(GTK_BOX(brandRow), lineRight, FALSE, FALSE, 0);
    gtk_widget_set_margin_top(brandRow, 8);
    gtk_box_pack_start(GTK_BOX(root), brandRow, FALSE, FALSE, 0);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 9);
    gtk_widget_set_name(buttons, "dialog-buttons");
    gtk_widget_set_margin_start(buttons, 28);
    gtk_widget_set_margin_end(buttons, 12);
    gtk_widget_set_margin_top(buttons, 10);
    gtk_widget_set_margin_bottom(buttons, 11);
    d.spinner = gtk_spinner_new();
    gtk_widget_set_name(d.spinner, "spinner");
    gtk_widget_set_size_request(d.spinner, 16, 16);
    gtk_widget_set_no_show_all(d.spinner, TRUE);
    gtk_box_pack_start(GTK_BOX(buttons), d.spinner, FALSE, FALSE, 0);
    d.progress = MakeLabel(SafeText(t.progressText), "progress-text", true);
    gtk_widget_set_no_show_all(d.progress, TRUE);
    gtk_box_pack_start(GTK_BOX(buttons), d.progress, TRUE, TRUE, 0);
    d.sendButton = gtk_button_new_with_label(SafeText(io ? t.repairButton : t.sendReportButton).c_str());
    gtk_widget_set_name(d.sendButton, "default-button");
    gtk_widget_set_can_default(d.sendButton, TRUE);
    gtk_style_context_add_class(gtk_widget_get_style_context(d.sendButton), GTK_STYLE_CLASS_SUGGESTED_ACTION);
    d.cancelButton = gtk_button_new_with_label(SafeText(t.cancelButton).c_str());
    gtk_widget_set_name(d.cancelButton, "cancel-button");
    gtk_box_pack_end(GTK_BOX(buttons), d.cancelButton, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(buttons), d.sendButton, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(root), buttons, FALSE, FALSE, 0);

    g_signal_connect(d.sendButton, "clicked", G_CALLBACK(OnDefaultClicked), &d);
    g_signal_connect(d.cancelButton, "clicked", G_CALLBACK(OnCancelClicked), &d);
    g_signal_connect(d.window, "delete-event", G_CALLBACK(OnDeleteEvent), &d);
    g_signal_connect(d.window, "key-press-event", G_CALLBACK(OnKeyPress), &d);
    g_signal_connect(d.window, "notify::scale-factor", G_CALLBACK(OnScaleChanged), &d);
    g_signal_connect(d.window, "map-event", G_CALLBACK(OnMapped), &d);

    UpdatePictures(d);
    gtk_widget_grab_default(d.sendButton);
    gtk_widget_show_all(d.window);
    if (io)
        gtk_widget_grab_focus(d.sendButton);
    else
        gtk_widget_grab_focus(d.entry);
}

bool GtkStarted(const MxCrashDialogDesc* desc)
{
    static int state = 0; // 0 not tried, 1 started, -1 failed: GTK can be started once per process
    if (state == 0)
    {
        // GTK would otherwise switch the whole process to the user's locale, and with it the
        // number formats of every later log line and request body.
        gtk_disable_setlocale();
        state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
        if (state == 1)
        {
            morvex_crash_dialog_register_resource();
            ApplyStyle();
        }
    }
    if (state != 1)
        LogLine(desc, MX_CRASH_DIALOG_LOG_WARNING, "Could not start GTK: no usable display");
    return state == 1;
}
} // namespace

extern "C" __attribute__((visibility("default"))) int MxCrashDialog_Run(const MxCrashDialogDesc* desc)
{
    if (desc == nullptr || desc->version != MX_CRASH_DIALOG_VERSION ||
        desc->size != sizeof(MxCrashDialogDesc) || desc->startSending == nullptr)
    {
        LogLine(desc != nullptr && desc->size == sizeof(MxCrashDialogDesc) ? desc : nullptr,
                MX_CRASH_DIALOG_LOG_WARNING, "The crash dialog was given an unusable description");
        return MX_CRASH_DIALOG_FAILED_TO_OPEN;
    }
    if (GDialog != nullptr)
    {
        LogLine(desc, MX_CRASH_DIALOG_LOG_WARNING, "A crash dialog is already open");
        return MX_CRASH_DIALOG_FAILED_TO_OPEN;
    }
    if (!GtkStarted(desc))
        return MX_CRASH_DIALOG_FAILED_TO_OPEN;

    Dialog d;
    d.desc = desc;
    d.token = GNextToken.fetch_add(1);
    d.loop = g_main_loop_new(nullptr, FALSE);
    GDialog = &d;
    BuildWindow(d);
    gtk_window_present(GTK_WINDOW(d.window));
    g_main_loop_run(d.loop);

    GDialog = nullptr;
    gtk_widget_destroy(d.window);
    // Let the window disappear now: after a cancel while sending the caller still waits for its
    // sender before it returns to any loop.
    for (int i = 0; i < 100 && gtk_events_pending(); ++i)
        gtk_main_iteration_do(FALSE);
    g_main_loop_unref(d.loop);
    return d.result;
}
