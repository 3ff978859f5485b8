// GLib's headers use "signals" as an identifier: include them before any Qt header.
#include <gio/gdesktopappinfo.h>

#include "platform/desktopentries.h"

#include "platform/workerthread.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

DesktopEntries::Entry entryOf(GDesktopAppInfo* info)
{
    DesktopEntries::Entry entry;
    entry.id = QString::fromUtf8(g_app_info_get_id(G_APP_INFO(info)));
    entry.id.chop(entry.id.endsWith(QLatin1String(".desktop")) ? 8 : 0);
    entry.name = QString::fromUtf8(g_app_info_get_name(G_APP_INFO(info)));
    const QStringList categories = QString::fromUtf8(g_desktop_app_info_get_categories(info)).split(u';');
    entry.terminal = categories.contains(QLatin1String("TerminalEmulator"));
    return entry;
}

// Reads every entry: GIO parses each file, so this runs on the worker.
std::shared_ptr<const DesktopEntries::Index> buildIndex()
{
    std::vector<std::pair<DesktopEntries::Entry, QString>> entries; // with its StartupWMClass
    GList* all = g_app_info_get_all();
    for (GList* item = all; item; item = item->next) {
        if (!G_IS_DESKTOP_APP_INFO(item->data))
            continue;
        auto* info = G_DESKTOP_APP_INFO(item->data);
        entries.emplace_back(entryOf(info), QString::fromUtf8(g_desktop_app_info_get_startup_wm_class(info)));
    }
    g_list_free_full(all, g_object_unref);
    // GIO's order is a hash table's; where two entries claim one class, the one named last wins, every time.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first.id < b.first.id; });

    auto index = std::make_shared<DesktopEntries::Index>();
    for (const auto& [entry, wmClass] : entries) {
        index->byId.insert(entry.id, entry);
        index->byLowerId.insert(entry.id.toLower(), entry);
        if (!wmClass.isEmpty())
            index->byWmClass.insert(wmClass, entry);
    }
    return index;
}

} // namespace

DesktopEntries::DesktopEntries()
    : m_worker(std::make_unique<WorkerThread>(QStringLiteral("Desktop entries")))
    , m_monitorContext(g_main_context_new())
{
    // The monitor reports on the context that is the thread's default while it is made; this one is ours,
    // and looked at (without waiting) before each lookup.
    g_main_context_push_thread_default(m_monitorContext);
    m_monitor = g_app_info_monitor_get();
    g_main_context_pop_thread_default(m_monitorContext);
    g_signal_connect(m_monitor, "changed",
        G_CALLBACK(+[](GAppInfoMonitor*, gpointer changed) { *static_cast<bool*>(changed) = true; }), &m_changed);
    m_building = m_worker->run(buildIndex);
}

DesktopEntries::~DesktopEntries()
{
    m_worker.reset();
    g_signal_handlers_disconnect_by_data(m_monitor, &m_changed);
    g_object_unref(m_monitor);
    g_main_context_unref(m_monitorContext);
}

const DesktopEntries::Index& DesktopEntries::index()
{
    while (g_main_context_iteration(m_monitorContext, FALSE)) { }
    // Until a new index is done, the one before serves; before the first there is none to serve.
    if (m_building.isValid() && (m_building.isFinished() || !m_index)) {
        m_index = m_building.result();
        m_building = {};
    }
    if (m_changed && !m_building.isValid()) {
        m_changed = false;
        m_building = m_worker->run(buildIndex);
    }
    return *m_index;
}

std::optional<DesktopEntries::Entry> DesktopEntries::byId(const QString& id)
{
    const auto& entries = index().byId;
    const auto found = entries.constFind(id);
    return found != entries.cend() ? std::optional(*found) : std::nullopt;
}

std::optional<DesktopEntries::Entry> DesktopEntries::byWindowClass(const QString& wmClass, const QString& wmInstance)
{
    const Index& entries = index();
    for (const auto* table : { &entries.byWmClass, &entries.byLowerId }) {
        const bool lower = table == &entries.byLowerId;
        for (const QString& name : { wmClass, wmInstance }) {
            if (name.isEmpty())
                continue;
            if (const auto found = table->constFind(lower ? name.toLower() : name); found != table->cend())
                return *found;
        }
    }
    return std::nullopt;
}
