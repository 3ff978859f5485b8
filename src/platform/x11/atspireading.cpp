// libatspi pulls in GLib headers that use "signals" as an identifier: include it before any Qt header.
#include <atspi/atspi.h>

#include "platform/x11/atspireading.h"

#include <QByteArray>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace AtspiReading {
namespace {

using Clock = std::chrono::steady_clock;

struct Deadline {
    Clock::time_point end;
    const std::atomic_bool& stop;
    bool passed() const { return stop || Clock::now() >= end; }
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

// The element that last gained focus in each of the most recent applications, from the toolkits' own focus
// events (delivered whenever this thread serves the default context). Toolkits without the Collection
// interface (Qt 5) would otherwise be searched element by element, a round trip each.
class FocusHistory {
public:
    void gained(AtspiAccessible* element)
    {
        AtspiApplication* application = ATSPI_OBJECT(element)->app;
        std::erase_if(
            m_entries, [&](const Ref<AtspiAccessible>& entry) { return applicationOf(entry) == application; });
        m_entries.insert(m_entries.begin(), Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(element))));
        if (m_entries.size() > maximumApplications)
            m_entries.pop_back();
    }

    void clear() { m_entries.clear(); }

    // The element last focused in the application that root belongs to, if any.
    Ref<AtspiAccessible> lastIn(AtspiAccessible* root) const
    {
        for (const Ref<AtspiAccessible>& entry : m_entries) {
            if (applicationOf(entry) == ATSPI_OBJECT(root)->app)
                return Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(entry.get())));
        }
        return Ref<AtspiAccessible>();
    }

private:
    static constexpr size_t maximumApplications = 32;
    static AtspiApplication* applicationOf(const Ref<AtspiAccessible>& element)
    {
        return ATSPI_OBJECT(element.get())->app;
    }
    std::vector<Ref<AtspiAccessible>> m_entries;
};

FocusHistory& focusHistory()
{
    static FocusHistory history;
    return history;
}

void listenForFocus()
{
    AtspiEventListener* listener = atspi_event_listener_new_simple(
        [](const AtspiEvent* event) {
            if (event->detail1 == 1 && event->source)
                focusHistory().gained(event->source);
            g_boxed_free(ATSPI_TYPE_EVENT, const_cast<AtspiEvent*>(event)); // handed over to us
        },
        nullptr);
    Error error;
    if (!atspi_event_listener_register(listener, "object:state-changed:focused", error.out()))
        g_object_unref(listener); // the searches still work, only slower
}

void initializeOnThisThread(std::chrono::milliseconds callTimeout)
{
    static bool initialized = false;
    if (initialized)
        return;
    initialized = true;
    atspi_init();
    // libatspi attaches each application's private connection to the default context whatever
    // atspi_set_main_context says; keep the rest of its sources there too, on the one context this
    // thread owns.
    atspi_set_main_context(g_main_context_default());
    atspi_set_timeout(int(callTimeout.count()), int(callTimeout.count()));
    listenForFocus();
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

constexpr int maximumFocused = 8;
using Focused = std::vector<Ref<AtspiAccessible>>;

// Every element of the window in the focused state, in tree order: toolkits mark the containers of the
// focused element too (a Qt 5 tab page, a PDF view).
Focused findFocusedByCollection(AtspiAccessible* window)
{
    Focused result;
    Ref<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
    if (!collection)
        return result;
    Ref<AtspiStateSet> focused(atspi_state_set_new(nullptr));
    atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
    Ref<AtspiMatchRule> rule(
        atspi_match_rule_new(focused.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
            ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
    Error error;
    GArray* matches = atspi_collection_get_matches(
        collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, maximumFocused, TRUE, error.out());
    if (matches) {
        for (guint i = 0; i < matches->len; ++i) {
            if (auto* match = g_array_index(matches, AtspiAccessible*, i))
                result.emplace_back(match);
        }
        g_array_free(matches, TRUE);
    }
    return result;
}

// For toolkits without the Collection interface: breadth first, bounded, skipping the descendants of
// elements that manage their own (large tables and lists).
Focused findFocusedByWalk(AtspiAccessible* window, const Deadline& deadline)
{
    constexpr int maximumNodes = 3000;
    Focused result;
    std::vector<Ref<AtspiAccessible>> queue;
    queue.push_back(Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(window))));
    Error error;
    for (size_t next = 0; next < queue.size() && next < size_t(maximumNodes) && !deadline.passed()
         && result.size() < size_t(maximumFocused);
         ++next) {
        AtspiAccessible* node = queue[next].get();
        Ref<AtspiStateSet> states(atspi_accessible_get_state_set(node));
        if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED))
            result.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(node)));
        if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS))
            continue;
        const int count = atspi_accessible_get_child_count(node, error.out());
        for (int i = 0; i < count && queue.size() < size_t(maximumNodes); ++i) {
            if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, error.out()))
                queue.emplace_back(child);
        }
    }
    return result;
}

constexpr int maximumCharacters = 100000; // per selected range: a selection is read, not a document
constexpr char32_t objectReplacement = 0xFFFC;

QString textOf(AtspiText* text, int start, int end)
{
    Error error;
    gchar* chars = atspi_text_get_text(text, start, std::min(end, start + maximumCharacters), error.out());
    if (!chars || error.error) {
        g_free(chars);
        return {};
    }
    QString result = QString::fromUtf8(chars);
    g_free(chars);
    return result;
}

// The rectangle of a range, only when the call succeeded with a real box: a failed call leaves its
// result uninitialised, and toolkits without screen positions (GTK 4, Wayland clients) answer with
// an empty or absurd one.
std::optional<QRectF> extentsOf(AtspiText* text, int start, int end)
{
    Error error;
    AtspiRect* rect = atspi_text_get_range_extents(text, start, end, ATSPI_COORD_TYPE_SCREEN, error.out());
    std::optional<QRectF> result;
    constexpr int limit = 1 << 15; // the X11 coordinate space
    if (rect && !error.error && rect->width > 0 && rect->height > 0 && rect->width < limit && rect->height < limit
        && qAbs(rect->x) < limit && qAbs(rect->y) < limit)
        result = QRectF(rect->x, rect->y, rect->width, rect->height);
    g_free(rect);
    return result;
}

void unite(std::optional<QRectF>& bounds, const std::optional<QRectF>& more)
{
    if (more)
        bounds = bounds ? bounds->united(*more) : *more;
}

Selection selectionOf(AtspiAccessible* element, int depth = 0);

// Replaces each embedded object (U+FFFC) in text, which starts at character offset start of element,
// by what is selected inside that object (all of it when the object holds no selection of its own).
QString resolveEmbedded(
    AtspiAccessible* element, const QString& text, int start, std::optional<QRectF>& bounds, int depth)
{
    if (!text.contains(QChar(objectReplacement)))
        return text;
    Ref<AtspiHypertext> hypertext(depth < 4 ? atspi_accessible_get_hypertext_iface(element) : nullptr);
    QString resolved;
    const QList<uint> characters = text.toUcs4();
    for (qsizetype i = 0; i < characters.size(); ++i) {
        if (characters[i] != objectReplacement) {
            const char32_t c = characters[i];
            resolved += QString::fromUcs4(&c, 1);
            continue;
        }
        if (!hypertext)
            continue;
        Error error;
        const int link = atspi_hypertext_get_link_index(hypertext.get(), start + int(i), error.out());
        Ref<AtspiHyperlink> hyperlink(
            link >= 0 ? atspi_hypertext_get_link(hypertext.get(), link, error.out()) : nullptr);
        Ref<AtspiAccessible> object(hyperlink ? atspi_hyperlink_get_object(hyperlink.get(), 0, error.out()) : nullptr);
        if (!object)
            continue;
        Selection inner = selectionOf(object.get(), depth + 1);
        if (inner.text.isEmpty()) {
            // Wholly inside the selection but without a selection of its own (a link, say).
            if (Ref<AtspiText> objectText(atspi_accessible_get_text_iface(object.get())); objectText) {
                inner.text = resolveEmbedded(
                    object.get(), textOf(objectText.get(), 0, maximumCharacters), 0, inner.rect, depth + 1);
            }
        }
        if (inner.text.isEmpty())
            continue;
        // Blocks (paragraphs, headings) that follow one another read as separate lines.
        if (!resolved.isEmpty() && i > 0 && characters[i - 1] == objectReplacement && !resolved.endsWith(u'\n'))
            resolved += u'\n';
        resolved += inner.text;
        unite(bounds, inner.rect);
    }
    return resolved;
}

Selection selectionOf(AtspiAccessible* element, int depth)
{
    Selection selection;
    Error error;
    selection.inTerminal = atspi_accessible_get_role(element, error.out()) == ATSPI_ROLE_TERMINAL;
    Ref<AtspiText> text(atspi_accessible_get_text_iface(element));
    if (!text)
        return selection;
    const int count = std::min(atspi_text_get_n_selections(text.get(), error.out()), 16);
    QStringList parts;
    for (int i = 0; i < count; ++i) {
        AtspiRange* range = atspi_text_get_selection(text.get(), i, error.out());
        if (!range || error.error) {
            g_free(range);
            continue;
        }
        const int start = range->start_offset;
        const int end = range->end_offset;
        g_free(range);
        if (end <= start || start < 0)
            continue;
        std::optional<QRectF> bounds;
        const QString part = resolveEmbedded(element, textOf(text.get(), start, end), start, bounds, depth);
        if (part.isEmpty())
            continue;
        parts.append(part);
        // The embedded objects' own boxes are finer than the whole range's when there are any.
        unite(selection.rect, bounds ? bounds : extentsOf(text.get(), start, end));
    }
    selection.text = parts.join(QLatin1Char('\n'));
    if (selection.text.isEmpty())
        selection.rect.reset();
    return selection;
}

// Focused descendants of element, nearest first, element itself left out.
std::vector<Ref<AtspiAccessible>> focusedBelow(AtspiAccessible* element, const Deadline& deadline)
{
    constexpr int maximumNodes = 400;
    std::vector<Ref<AtspiAccessible>> found;
    std::vector<Ref<AtspiAccessible>> queue;
    queue.push_back(Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(element))));
    Error error;
    for (size_t next = 0; next < queue.size() && found.size() < size_t(maximumFocused) && !deadline.passed(); ++next) {
        AtspiAccessible* node = queue[next].get();
        if (next > 0 && hasState(node, ATSPI_STATE_FOCUSED))
            found.push_back(Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(node))));
        if (next > 0 && hasState(node, ATSPI_STATE_MANAGES_DESCENDANTS))
            continue;
        const int count = std::min(atspi_accessible_get_child_count(node, error.out()), 64);
        for (int i = 0; i < count && queue.size() < size_t(maximumNodes); ++i) {
            if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, error.out()))
                queue.emplace_back(child);
        }
    }
    return found;
}

std::optional<Selection> readFromWindow(AtspiAccessible* window, const Deadline& deadline)
{
    Focused focused = findFocusedByCollection(window);
    if (focused.empty() && !deadline.passed()) {
        if (Ref<AtspiAccessible> last = focusHistory().lastIn(window);
            last && hasState(last.get(), ATSPI_STATE_FOCUSED))
            focused.push_back(std::move(last));
        else
            focused = findFocusedByWalk(window, deadline);
    }
    if (focused.empty() || deadline.passed())
        return std::nullopt;
    Selection selection;
    // The element that holds the selection is remembered as the application's focus: until the focus
    // moves (an event says so), later readings start there instead of searching again.
    const auto holdsSelection = [&](AtspiAccessible* element) {
        Selection found = selectionOf(element);
        selection.inTerminal = selection.inTerminal || found.inTerminal;
        if (found.text.isEmpty())
            return false;
        found.inTerminal = selection.inTerminal;
        selection = std::move(found);
        focusHistory().gained(element);
        return true;
    };
    for (const Ref<AtspiAccessible>& element : focused) {
        if (deadline.passed() || holdsSelection(element.get()))
            return selection;
    }
    // The deepest focused element may still be a container above the one that holds the selection:
    // follow the focus further down.
    for (const Ref<AtspiAccessible>& below : focusedBelow(focused.back().get(), deadline)) {
        if (deadline.passed() || holdsSelection(below.get()))
            return selection;
    }
    return selection;
}

constexpr qsizetype maximumNameLength = 256;
constexpr qsizetype maximumTitleLength = 512;

// A text an application hands over, cut to at most limit characters.
QString boundedName(AtspiAccessible* accessible, qsizetype limit)
{
    Error error;
    gchar* name = atspi_accessible_get_name(accessible, error.out());
    if (!name)
        return {};
    // Cut in UTF-8 first, so a huge name is never converted whole.
    const QString text = QString::fromUtf8(name, qsizetype(qstrnlen(name, size_t(limit) * 4))).left(limit);
    g_free(name);
    return text.simplified();
}

// The bus knows each application's process; asking it costs a call, so the answer is kept per connection.
class ProcessIds {
public:
    qint64 of(AtspiAccessible* application)
    {
        const char* bus = ATSPI_OBJECT(application)->app ? ATSPI_OBJECT(application)->app->bus_name : nullptr;
        const QByteArray name = bus ? QByteArray(bus) : QByteArray();
        if (!name.isEmpty()) {
            for (const auto& [known, pid] : m_known) {
                if (known == name)
                    return pid;
            }
        }
        Error error;
        const qint64 pid = std::max<qint64>(0, atspi_accessible_get_process_id(application, error.out()));
        if (!name.isEmpty() && pid > 0) {
            m_known.insert(m_known.begin(), { name, pid });
            if (m_known.size() > maximumApplications)
                m_known.pop_back();
        }
        return pid;
    }

    void clear() { m_known.clear(); }

private:
    static constexpr size_t maximumApplications = 64;
    std::vector<std::pair<QByteArray, qint64>> m_known;
};

ProcessIds& processIds()
{
    static ProcessIds ids;
    return ids;
}

Window describeWindow(AtspiAccessible* window, AtspiAccessible* application, qint64 pid)
{
    Window described;
    described.pid = pid;
    described.applicationName = boundedName(application, maximumNameLength);
    described.title = boundedName(window, maximumTitleLength);
    return described;
}

struct WindowFollower {
    qint64 ownPid = 0;
    std::function<void(const Window&)> activated;
    std::function<void()> deactivated;
    AtspiEventListener* listener = nullptr;
    AtspiEventListener* deactivationListener = nullptr;
    // The window of the last event: an application repeating one window's activation costs no calls.
    Ref<AtspiAccessible> last;
};

WindowFollower& windowFollower()
{
    static WindowFollower follower;
    return follower;
}

void windowActivated(AtspiEvent* event, void*)
{
    WindowFollower& follower = windowFollower();
    if (event->source && follower.activated && event->source != follower.last.get()) {
        follower.last = Ref<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
        // The application's root comes with its connection: walking up from the window would take a call
        // per level, as many as the application makes up.
        AtspiApplication* connection = ATSPI_OBJECT(event->source)->app;
        Ref<AtspiAccessible> application(
            connection && connection->root ? static_cast<AtspiAccessible*>(g_object_ref(connection->root)) : nullptr);
        const qint64 pid = application ? processIds().of(application.get()) : 0;
        if (application && pid != follower.ownPid)
            follower.activated(describeWindow(event->source, application.get(), pid));
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event); // handed over to us
}

void windowDeactivated(AtspiEvent* event, void*)
{
    WindowFollower& follower = windowFollower();
    // Without a last window (the one active at start was found by a search, not an event), any is taken.
    if (event->source && (!follower.last || event->source == follower.last.get())) {
        // Forgotten, so that the same window coming back is reported again.
        follower.last = Ref<AtspiAccessible>();
        if (follower.deactivated)
            follower.deactivated();
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

} // namespace

void initialize(std::chrono::milliseconds callTimeout) { initializeOnThisThread(callTimeout); }

std::optional<Window> activeWindow(qint64 ownPid, std::chrono::milliseconds budget, const std::atomic_bool& stop)
{
    const Deadline deadline { Clock::now() + budget, stop };
    Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop)
        return std::nullopt;
    Error error;
    const int count = atspi_accessible_get_child_count(desktop.get(), error.out());
    for (int i = 0; i < count && !deadline.passed(); ++i) {
        Ref<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop.get(), i, error.out()));
        if (!application)
            continue;
        const qint64 pid = processIds().of(application.get());
        if (pid == ownPid)
            continue;
        if (Ref<AtspiAccessible> window = activeWindowOf(application.get(), deadline))
            return describeWindow(window.get(), application.get(), pid);
    }
    return std::nullopt;
}

namespace {

void listen(AtspiEventListener*& listener, AtspiEventListenerCB callback, const char* event)
{
    if (listener)
        return;
    listener = atspi_event_listener_new(callback, nullptr, nullptr);
    Error error;
    if (!atspi_event_listener_register(listener, event, error.out())) {
        g_object_unref(listener);
        listener = nullptr;
    }
}

void stopListening(AtspiEventListener*& listener, const char* event)
{
    if (!listener)
        return;
    Error error;
    atspi_event_listener_deregister(listener, event, error.out());
    g_object_unref(listener);
    listener = nullptr;
}

} // namespace

void followWindows(qint64 ownPid, std::function<void(const Window&)> activated, std::function<void()> deactivated)
{
    WindowFollower& follower = windowFollower();
    follower.ownPid = ownPid;
    follower.activated = std::move(activated);
    follower.deactivated = std::move(deactivated);
    listen(follower.listener, windowActivated, "window:activate");
    listen(follower.deactivationListener, windowDeactivated, "window:deactivate");
}

void stopFollowingWindows()
{
    WindowFollower& follower = windowFollower();
    follower.activated = nullptr;
    follower.deactivated = nullptr;
    follower.last = Ref<AtspiAccessible>();
    stopListening(follower.listener, "window:activate");
    stopListening(follower.deactivationListener, "window:deactivate");
}

bool takeDefaultContext() { return g_main_context_acquire(g_main_context_default()); }

void dispatchPending()
{
    GMainContext* context = g_main_context_default();
    for (int i = 0; i < 1000 && g_main_context_iteration(context, FALSE); ++i) { }
}

void releaseThread()
{
    stopFollowingWindows();
    processIds().clear();
    focusHistory().clear();
    g_main_context_release(g_main_context_default());
}

std::optional<Selection> focusedSelection(qint64 pid, qint64 ownPid, std::chrono::milliseconds callTimeout,
    std::chrono::milliseconds budget, const std::atomic_bool& stop)
{
    initializeOnThisThread(callTimeout);
    dispatchPending();
    const Deadline deadline { Clock::now() + budget, stop };

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
