// libatspi pulls in GLib headers that use "signals" as an identifier: include it before any Qt header.
#include <atspi/atspi.h>

#include "platform/x11/atspireading.h"

#include <QStringList>

#include <vector>

namespace AtspiReading {
namespace {

using Clock = std::chrono::steady_clock;

struct Deadline {
    Clock::time_point end;
    bool passed() const { return Clock::now() >= end; }
};

// Owns one GObject reference.
template <typename T> class Ref {
public:
    explicit Ref(T* object = nullptr)
        : m_object(object)
    {
    }
    ~Ref()
    {
        if (m_object)
            g_object_unref(m_object);
    }
    Ref(Ref&& other) noexcept
        : m_object(std::exchange(other.m_object, nullptr))
    {
    }
    Ref& operator=(Ref&& other) noexcept
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    T* get() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object;
};

// Errors only mean "no answer": a dead or slow application is skipped.
struct Error {
    GError* error = nullptr;
    ~Error() { reset(); }
    GError** out()
    {
        reset();
        return &error;
    }
    void reset()
    {
        if (error)
            g_error_free(std::exchange(error, nullptr));
    }
};

bool hasState(AtspiAccessible* accessible, AtspiStateType state)
{
    Ref<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state);
}

void initializeOnThisThread(std::chrono::milliseconds callTimeout)
{
    static bool initialized = false;
    if (initialized)
        return;
    initialized = true;
    atspi_init();
    // Our connection to the accessibility bus must be served by this thread's own main context,
    // never by the default one that the GUI thread iterates.
    GMainContext* context = g_main_context_get_thread_default();
    if (!context) {
        context = g_main_context_new();
        g_main_context_push_thread_default(context);
    }
    atspi_set_main_context(context);
    atspi_set_timeout(int(callTimeout.count()), int(callTimeout.count()));
}

void drainPendingMessages()
{
    GMainContext* context = g_main_context_get_thread_default();
    for (int i = 0; context && i < 1000 && g_main_context_iteration(context, FALSE); ++i) { }
}

Ref<AtspiAccessible> activeWindowOf(AtspiAccessible* application, const Deadline& deadline)
{
    Error error;
    const int count = atspi_accessible_get_child_count(application, error.out());
    for (int i = 0; i < count && !deadline.passed(); ++i) {
        Ref<AtspiAccessible> window(atspi_accessible_get_child_at_index(application, i, error.out()));
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE))
            return window;
    }
    return Ref<AtspiAccessible>();
}

Ref<AtspiAccessible> findFocusedByCollection(AtspiAccessible* window)
{
    Ref<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
    if (!collection)
        return Ref<AtspiAccessible>();
    Ref<AtspiStateSet> focused(atspi_state_set_new(nullptr));
    atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
    Ref<AtspiMatchRule> rule(
        atspi_match_rule_new(focused.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
            ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
    Error error;
    GArray* matches = atspi_collection_get_matches(
        collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
    Ref<AtspiAccessible> result;
    if (matches) {
        for (guint i = 0; i < matches->len; ++i) {
            auto* match = g_array_index(matches, AtspiAccessible*, i);
            if (i == 0 && match)
                result = Ref<AtspiAccessible>(match);
            else if (match)
                g_object_unref(match);
        }
        g_array_free(matches, TRUE);
    }
    return result;
}

// For toolkits without the Collection interface: breadth first, bounded, skipping the descendants of
// elements that manage their own (large tables and lists).
Ref<AtspiAccessible> findFocusedByWalk(AtspiAccessible* window, const Deadline& deadline)
{
    constexpr int maximumNodes = 3000;
    std::vector<Ref<AtspiAccessible>> queue;
    queue.push_back(Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(window))));
    Error error;
    for (size_t next = 0; next < queue.size() && next < size_t(maximumNodes) && !deadline.passed(); ++next) {
        AtspiAccessible* node = queue[next].get();
        Ref<AtspiStateSet> states(atspi_accessible_get_state_set(node));
        if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED))
            return std::move(queue[next]);
        if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS))
            continue;
        const int count = atspi_accessible_get_child_count(node, error.out());
        for (int i = 0; i < count && queue.size() < size_t(maximumNodes); ++i) {
            if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, error.out()))
                queue.emplace_back(child);
        }
    }
    return Ref<AtspiAccessible>();
}

std::optional<Selection> selectionOf(AtspiAccessible* element)
{
    Ref<AtspiText> text(atspi_accessible_get_text_iface(element));
    if (!text)
        return std::nullopt;
    Error error;
    const int count = atspi_text_get_n_selections(text.get(), error.out());
    QStringList parts;
    std::optional<QRectF> bounds;
    for (int i = 0; i < count; ++i) {
        AtspiRange* range = atspi_text_get_selection(text.get(), i, error.out());
        if (!range)
            continue;
        const int start = range->start_offset;
        const int end = range->end_offset;
        g_free(range);
        if (end <= start)
            continue;
        gchar* chars = atspi_text_get_text(text.get(), start, end, error.out());
        if (!chars)
            continue;
        parts.append(QString::fromUtf8(chars));
        g_free(chars);
        if (AtspiRect* rect
            = atspi_text_get_range_extents(text.get(), start, end, ATSPI_COORD_TYPE_SCREEN, error.out())) {
            // Toolkits without screen coordinates (GTK 4, Wayland clients) answer with an empty box.
            if (rect->width > 0 && rect->height > 0) {
                const QRectF r(rect->x, rect->y, rect->width, rect->height);
                bounds = bounds ? bounds->united(r) : r;
            }
            g_free(rect);
        }
    }
    const QString joined = parts.join(QLatin1Char('\n'));
    if (joined.isEmpty())
        return std::nullopt;
    return Selection { joined, bounds };
}

std::optional<Selection> readFromWindow(AtspiAccessible* window, const Deadline& deadline)
{
    Ref<AtspiAccessible> focused = findFocusedByCollection(window);
    if (!focused && !deadline.passed())
        focused = findFocusedByWalk(window, deadline);
    if (!focused || deadline.passed())
        return std::nullopt;
    return selectionOf(focused.get());
}

} // namespace

std::optional<Selection> focusedSelection(
    qint64 pid, qint64 ownPid, std::chrono::milliseconds callTimeout, std::chrono::milliseconds budget)
{
    initializeOnThisThread(callTimeout);
    drainPendingMessages();
    const Deadline deadline { Clock::now() + budget };

    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop)
        return std::nullopt;
    Error error;
    const int count = atspi_accessible_get_child_count(desktop.get(), error.out());
    if (count <= 0)
        return std::nullopt;

    std::vector<Ref<AtspiAccessible>> applications;
    for (int i = 0; i < count && !deadline.passed(); ++i) {
        Ref<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop.get(), i, error.out()));
        if (!application)
            continue;
        const qint64 applicationPid = atspi_accessible_get_process_id(application.get(), error.out());
        if (applicationPid == ownPid)
            continue;
        // The wanted process first; the others only matter when it has no active window here
        // (a sandboxed application may reach the bus under another pid).
        if (pid > 0 && applicationPid == pid)
            applications.insert(applications.begin(), std::move(application));
        else
            applications.push_back(std::move(application));
    }

    for (const Ref<AtspiAccessible>& application : applications) {
        if (deadline.passed())
            break;
        Ref<AtspiAccessible> window = activeWindowOf(application.get(), deadline);
        if (window)
            return readFromWindow(window.get(), deadline);
    }
    return std::nullopt;
}

} // namespace AtspiReading
