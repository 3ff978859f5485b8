#include "popup/popupwindowcontroller.h"

#include "platform/platform.h"
#include "popup/answerdocument.h"
#include "popup/placement.h"
#include "popup/popuppanel.h"
#include "popup/popupviewmodel.h"
#include "ui/qmlengineprovider.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QTimer>

#include <cstdio>

namespace {

// The output a panel is placed on, as the one screen there is.
ScreenInfo besidePointerOn(const QRectF& output) { return { QString(), output, output, 1.0 }; }

} // namespace

PopupWindowController::PopupWindowController(
    PopupViewModel& viewModel, Platform& platform, QmlEngineProvider& engines, QObject* parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_platform(platform)
    , m_engines(engines)
{
}

PopupWindowController::~PopupWindowController()
{
    removeMonitors();
    // Closed panels may still wait for their deferred deletion; they go before the view model they show.
    qDeleteAll(findChildren<PopupPanel*>(Qt::FindDirectChildrenOnly));
}

QQuickWindow* PopupWindowController::panel() const { return m_panel.data(); }

bool PopupWindowController::isShowingCard() const { return (m_panel && m_panelIsCard) || m_cardPending; }

void PopupWindowController::preload()
{
    component(popupViewUrl);
    component(simpleTooltipViewUrl);
    // Building one card, never shown, also loads what its first instance would: the fonts, the icons, the
    // controls' types. The first real card then costs about what any later one does.
    delete createPanel(popupViewUrl, { { QStringLiteral("viewModel"), QVariant::fromValue<QObject*>(&m_viewModel) } });
}

QQmlComponent* PopupWindowController::component(const QUrl& view)
{
    QQmlComponent*& compiled = m_components[view];
    if (!compiled)
        compiled = new QQmlComponent(m_engines.engine(), view, QQmlComponent::PreferSynchronous, this);
    return compiled;
}

PopupPanel* PopupWindowController::createPanel(const QUrl& view, const QVariantMap& properties)
{
    QQmlComponent* compiled = component(view);
    if (compiled->isError()) {
        // A broken view is a build fault; say so, but never take the program down for it.
        std::fprintf(stdout, "[PopupWindowController] cannot load %s: %s\n", qPrintable(view.toString()),
            qPrintable(compiled->errorString()));
        std::fflush(stdout);
        return nullptr;
    }

    auto* panel = new PopupPanel;
    static_cast<QObject*>(panel)->setParent(this);
    QObject* object = compiled->createWithInitialProperties(properties, m_engines.engine()->rootContext());
    auto* root = qobject_cast<QQuickItem*>(object);
    if (!root) {
        delete object;
        delete panel;
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(root, QQmlEngine::CppOwnership);
    panel->setContent(root, root->property("cornerRadius").toReal());
    if (root->metaObject()->indexOfSignal("closeRequested()") >= 0) {
        // Queued: the view's own handler is still running when it asks.
        connect(root, SIGNAL(closeRequested()), this, SLOT(closePopup()), Qt::QueuedConnection);
    }
    return panel;
}

void PopupWindowController::showPopup(std::optional<QRectF> anchor)
{
    dismissPanel();
    PopupPanel* panel
        = createPanel(popupViewUrl, { { QStringLiteral("viewModel"), QVariant::fromValue<QObject*>(&m_viewModel) } });
    if (!panel)
        return;
    AnswerDocument::attach(panel->findChild<QQuickItem*>(QStringLiteral("answerText")));

    const Screens& screens = *m_platform.screens;
    const QRectF frame = anchor
        ? Placement::frameNearSelection(Placement::popupSize, *anchor, screens.screens(), screens.primary())
        : Placement::frameOnPointerScreen(
            Placement::popupSize, screens.pointerPosition(), screens.screens(), screens.primary());
    // Without a compositor the margin around the card could not be transparent, so the window is the card
    // alone, centred where the full panel was placed.
    QRectF cardFrame(QPointF(), QSizeF(panel->width(), panel->height()));
    cardFrame.moveCenter(frame.center());
    present(panel, cardFrame, true);
}

QQuickWindow* PopupWindowController::showNotice(
    const QUrl& view, const QVariantMap& properties, std::optional<std::chrono::milliseconds> closeAfter)
{
    dismissPanel();
    PopupPanel* panel = createPanel(view, properties);
    if (!panel)
        return nullptr;

    QSizeF size(panel->width(), panel->height());
    if (size.width() <= 10) {
        size = Placement::fallbackNoticeSize;
        panel->content()->setSize(size);
        panel->resize(size.toSize());
    }
    const Screens& screens = *m_platform.screens;
    present(panel, Placement::frameNearPointer(size, screens.pointerPosition(), screens.screens(), screens.primary()),
        false);

    if (closeAfter) {
        // Bound to this notice: a card or notice opened in the meantime stays open.
        QTimer::singleShot(*closeAfter, panel, [this, notice = QPointer<PopupPanel>(panel)] {
            if (notice && m_panel == notice)
                closePopup();
        });
    }
    return panel;
}

void PopupWindowController::showSimpleNotice(
    const QString& icon, const QString& message, std::optional<std::chrono::milliseconds> closeAfter)
{
    showNotice(
        simpleTooltipViewUrl, { { QStringLiteral("icon"), icon }, { QStringLiteral("message"), message } }, closeAfter);
}

void PopupWindowController::showExplanation(
    const QString& text, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
{
    m_viewModel.explain(text, std::move(appContext));
    showPopupAfterThisPass(anchor);
}

void PopupWindowController::showDirectQuery(std::optional<AppContext> appContext)
{
    showPopup(std::nullopt);
    m_viewModel.prepareForDirectQuery(std::move(appContext));
}

void PopupWindowController::showFailure(std::optional<QRectF> anchor, const QString& message)
{
    showPopup(anchor);
    m_viewModel.showFailure(message);
}

void PopupWindowController::showScreenshotExplanation(
    QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
{
    m_viewModel.setCurrentAppContext(appContext);
    m_viewModel.resetForNewRequest();
    [[maybe_unused]] auto task = m_viewModel.explainImage(std::move(jpeg), std::move(appContext));
    showPopupAfterThisPass(anchor);
}

void PopupWindowController::showPopupAfterThisPass(std::optional<QRectF> anchor)
{
    m_cardPending = true;
    // Posted after the request's start, so it runs after it. Building and showing the card takes 10 to 20 ms.
    QMetaObject::invokeMethod(
        this,
        [this, anchor, dismissals = m_dismissals] {
            if (dismissals == m_dismissals)
                showPopup(anchor);
        },
        Qt::QueuedConnection);
}

void PopupWindowController::present(PopupPanel* panel, const QRectF& frame, bool isCard)
{
    m_panel = panel;
    m_panelIsCard = isCard;
    if (m_platform.screens->placesWindows()) {
        panel->setGeometry(QRect(frame.topLeft().toPoint(), panel->size()));
        panel->showInactive();
    } else if (const Screens::Overlay overlay = m_platform.screens->overlay(); overlay == Screens::Overlay::None) {
        // The panel cannot cover the output to learn where the pointer is without hiding everything else: it is a
        // window of fixed size, which such a desktop (Sway) floats in the middle of the output, and then moves
        // beside the pointer where it can be asked to.
        panel->setMinimumSize(panel->size());
        panel->setMaximumSize(panel->size());
        panel->showInactive();
        m_platform.screens->moveBesidePointer(panel, [](QSizeF size, QPointF pointer, const QRectF& output) {
            return Placement::frameNearPointer(size, pointer, { besidePointerOn(output) }, besidePointerOn(output));
        });
    } else {
        // Beside the pointer where the panel learns its position, else centred on the area it covers.
        panel->showOverOutput(
            [](QSizeF size, std::optional<QPointF> pointer, const QRectF& output) {
                const ScreenInfo screen = besidePointerOn(output);
                return pointer ? Placement::frameNearPointer(size, *pointer, { screen }, screen)
                               : Placement::frameOnPointerScreen(size, output.center(), { screen }, screen);
            },
            overlay == Screens::Overlay::Maximized);
    }
    installMonitors();
    emit panelShown();
}

bool PopupWindowController::closeIfItHasTheKeyboard()
{
    if (!m_panel || !m_panel->isActive())
        return false;
    closePopup();
    return true;
}

void PopupWindowController::closePopup()
{
    const bool wasShown = !m_panel.isNull() || m_cardPending;
    dismissPanel();
    if (wasShown) {
        // Nobody will read the rest of an answer whose card was closed: the service and its model stop too.
        m_viewModel.stopAnswer();
        emit panelClosed();
    }
}

void PopupWindowController::dismissPanel()
{
    m_cardPending = false;
    ++m_dismissals;
    removeMonitors();
    if (PopupPanel* panel = m_panel.data()) {
        m_panel.clear();
        panel->hide();
        panel->deleteLater();
    }
}

void PopupWindowController::installMonitors()
{
    removeMonitors();
    if (MouseDownMonitor* monitor = m_platform.mouseDownMonitor.get()) {
        m_monitorConnections.append(connect(monitor, &MouseDownMonitor::mouseDown, this, [this](QPointF at) {
            // The monitor leaves out our own windows; this keeps a click on the panel harmless either way.
            if (m_panel && m_panel->geometry().contains(at.toPoint()))
                return;
            closePopup();
        }));
        monitor->start();
    }
    if (FrontmostApplication* frontmost = m_platform.frontmostApplication.get()) {
        m_monitorConnections.append(connect(frontmost, &FrontmostApplication::otherApplicationActivated, this,
            &PopupWindowController::closePopup, Qt::QueuedConnection));
    }
}

void PopupWindowController::removeMonitors()
{
    if (m_monitorConnections.isEmpty())
        return;
    for (const auto& connection : std::as_const(m_monitorConnections))
        disconnect(connection);
    m_monitorConnections.clear();
    if (MouseDownMonitor* monitor = m_platform.mouseDownMonitor.get())
        monitor->stop();
}
