#pragma once

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;
struct wl_array;

// A Wayland connection of our own (not Qt's) that reads and sets the seat's clipboard, and reads its primary
// selection, through the wlroots data-control protocol, which needs no keyboard focus. Where the compositor lists
// the windows (the wlroots foreign-toplevel protocol), it also learns there when each became active, in the same
// order as the selections' announcements. Its event loop runs on a thread of its own and moves every transfer
// through non-blocking pipes, so a slow or silent application never stalls it: a read ends with its data, or with
// nothing at its deadline or past its size bound; a write to a reader that stops reading is dropped at its own
// deadline. The requests may be made from any thread; their callbacks run on the connection's thread.
class DataControlConnection final {
public:
    using Clock = std::chrono::steady_clock;
    using Formats = QList<QPair<QString, QByteArray>>; // mime type, bytes

    struct Limits {
        std::chrono::milliseconds readTimeout { 300 };
        qsizetype maximumTextBytes = 4 * 1024 * 1024;
        qsizetype maximumSnapshotBytes = 64 * 1024 * 1024;
        // How long one reader of a selection we own may take to read it all.
        std::chrono::milliseconds sendTimeout { 5000 };
    };
    // The most mime types kept of one offer, and the longest name kept; the rest are ignored.
    static constexpr int maximumMimeTypes = 128;
    static constexpr qsizetype maximumMimeTypeLength = 256;
    // Readers we serve at once; a further request is refused (its pipe closed at once).
    static constexpr int maximumSends = 32;

    // How long the compositor may take to list its globals and the current selection. KWin 5.27 reads
    // a new client's whole executable before it answers: about 10 ms per MB of the binary.
    static constexpr std::chrono::milliseconds setUpTimeout { 3000 };

    // Connects to the compositor named by WAYLAND_DISPLAY and returns at once; its thread then binds
    // data-control and learns the current selection, which ready() tells. Null when there is no Wayland
    // display. selectionChanged runs on the connection's thread at every later change of the clipboard. Windows
    // whose application id is ownAppId (this program's) do not count as the user going to another window.
    static std::unique_ptr<DataControlConnection> open(
        Limits limits, std::function<void()> selectionChanged, QByteArray ownAppId = {});
    ~DataControlConnection();
    DataControlConnection(const DataControlConnection&) = delete;
    DataControlConnection& operator=(const DataControlConnection&) = delete;

    // True once the compositor's data-control device is bound; false when it lacks the protocol or did not
    // answer within setUpTimeout. Requests made before then wait for it; without the protocol they come
    // back with nothing.
    QFuture<bool> ready() const { return m_ready; }

    // The clipboard's text (UTF-8 types only); absent when it has none or it is empty, or on no answer within
    // the limits.
    void readText(std::function<void(std::optional<QString>)> done);
    // Every mime type of the clipboard byte for byte; empty when the clipboard is empty; absent when a type
    // is not answered in time, the whole passes the size bound, or the clipboard changes meanwhile.
    void readAll(std::function<void(std::optional<Formats>)> done);
    // The primary selection's text (UTF-8 types only), only when the compositor announced it after the user went
    // to the window they are in now (the last one not ours to become active; coming back to it from one of ours
    // is no change), as the compositor lists windows; where it does not list them, only when it announced it at or
    // after since (absent: never). Absent otherwise, for the one there was when the connection started (its age
    // is unknown), and on no answer within the limits. The compositor does not say which client set it, but only
    // the active window's client can: when it was set is all that tells a selection made in the window the user
    // is in now from an older one made elsewhere.
    void readPrimaryText(std::optional<Clock::time_point> since, std::function<void(std::optional<QString>)> done);
    // Owns the clipboard with exactly these formats, serving them until another client takes it; no
    // formats empties the clipboard.
    void setSelection(Formats formats);

private:
    struct Offer;
    struct Reading;
    struct Sending;
    struct Source;
    struct SnapshotJob;
    struct Confirmation;
    struct Toplevel;

    DataControlConnection(Limits limits, std::function<void()> selectionChanged, QByteArray ownAppId);
    bool setUp();
    bool roundtrip(Clock::time_point deadline);
    void post(std::function<void()> job);
    void run();
    void runQueuedJobs();
    void pollOnce();
    void finishTransfers(const std::vector<short>& readingEvents, const std::vector<short>& sendingEvents);
    void shutDown();
    bool usable() const;

    void receive(zwlr_data_control_offer_v1* offer, const QByteArray& mimeType, qsizetype limit,
        Clock::time_point deadline, std::function<void(std::optional<QByteArray>)> done);
    // Reads offer's best text type and confirms that generation is still the current one of its selection.
    void receiveText(Offer* offer, const quint64& generation, Clock::time_point deadline,
        std::function<void(std::optional<QString>)> done);
    void continueSnapshot(const std::shared_ptr<SnapshotJob>& job);
    void serve(Source* source, const char* mimeType, int fd);
    // Asks the compositor for a reply, which comes after every selection event it sent before: done(true)
    // when the selection counted by current (m_generation or m_primaryGeneration) is still the one of
    // generation then. A transfer from an owner that has just been replaced ends empty, and only this tells
    // it from a real answer.
    void confirmUnchanged(
        const quint64& current, quint64 generation, Clock::time_point deadline, std::function<void(bool)> done);

    // Protocol events
    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    static void onGlobalRemove(void* data, wl_registry* registry, uint32_t name);
    static void onDataOffer(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void onSelection(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void onFinished(void* data, zwlr_data_control_device_v1* device);
    static void onPrimarySelection(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void onOfferMimeType(void* data, zwlr_data_control_offer_v1* offer, const char* mimeType);
    static void onSend(void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd);
    static void onCancelled(void* data, zwlr_data_control_source_v1* source);
    static void onConfirmed(void* data, struct wl_callback* callback, uint32_t serial);
    static void onToplevel(
        void* data, zwlr_foreign_toplevel_manager_v1* manager, zwlr_foreign_toplevel_handle_v1* toplevel);
    static void onToplevelsFinished(void* data, zwlr_foreign_toplevel_manager_v1* manager);
    static void onToplevelAppId(void* data, zwlr_foreign_toplevel_handle_v1* toplevel, const char* appId);
    static void onToplevelState(void* data, zwlr_foreign_toplevel_handle_v1* toplevel, wl_array* states);
    static void onToplevelDone(void* data, zwlr_foreign_toplevel_handle_v1* toplevel);
    static void onToplevelClosed(void* data, zwlr_foreign_toplevel_handle_v1* toplevel);

    const Limits m_limits;
    const std::function<void()> m_selectionChanged;
    const QByteArray m_ownAppId;

    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    zwlr_data_control_manager_v1* m_manager = nullptr;
    zwlr_data_control_device_v1* m_device = nullptr;
    bool m_broken = false; // the compositor closed the connection or withdrew the device

    // Offers introduced but not yet named by a selection event, and the clipboard's current one.
    std::vector<std::unique_ptr<Offer>> m_introduced;
    std::unique_ptr<Offer> m_selection;
    quint64 m_generation = 0; // grows with every selection event
    bool m_started = false; // the first selection is known; later ones are changes
    // The primary selection's current offer, and when it was announced (absent for the one found at start).
    std::unique_ptr<Offer> m_primary;
    quint64 m_primaryGeneration = 0; // grows with every primary selection event
    std::optional<Clock::time_point> m_primarySetAt;

    // The listed windows; the one not ours the user went to last; and the order of the primary selection's
    // announcement and of the user's going to that window among those events (0: none yet, or the selection
    // found at start).
    zwlr_foreign_toplevel_manager_v1* m_toplevelManager = nullptr;
    std::vector<std::unique_ptr<Toplevel>> m_toplevels;
    const Toplevel* m_userToplevel = nullptr;
    quint64 m_eventOrder = 0;
    quint64 m_primaryOrder = 0;
    quint64 m_activationOrder = 0;

    std::vector<std::unique_ptr<Source>> m_sources; // ours, until cancelled
    std::vector<std::unique_ptr<Reading>> m_readings;
    std::vector<std::unique_ptr<Sending>> m_sendings;
    std::vector<std::unique_ptr<Confirmation>> m_confirmations;

    QFuture<bool> m_ready;
    std::function<void(bool)> m_setUpDone;
    int m_wakeFd = -1; // an eventfd that the requesting threads write to
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs; // guarded by m_mutex
    bool m_quit = false; // loop thread only
    std::atomic<bool> m_stopping = false; // the destructor has begun: setting up gives up
    std::thread m_thread;
};
