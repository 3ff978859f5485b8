#pragma once

#include "wire/wirerecords.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <optional>

class Platform;
class PopupPanel;
class PopupViewModel;
class QQmlComponent;
class QmlEngineProvider;
class QQuickWindow;

// Puts answers and notices on screen: at most one panel at a time, closed by a click elsewhere, another
// application becoming active, Escape or the close button, or a notice's delay. Main thread only.
class PopupWindowController : public QObject {
    Q_OBJECT

public:
    static inline const QUrl popupViewUrl { QStringLiteral("qrc:/Quillora/popup/PopupView.qml") };
    static inline const QUrl simpleTooltipViewUrl { QStringLiteral("qrc:/Quillora/popup/SimpleTooltipView.qml") };

    // Shows the card of viewModel; places panels on platform's screens and closes them on its clicks and
    // application switches; builds views in the engine of engines.
    PopupWindowController(
        PopupViewModel& viewModel, Platform& platform, QmlEngineProvider& engines, QObject* parent = nullptr);
    ~PopupWindowController() override;

    PopupViewModel* viewModel() const { return &m_viewModel; }

    // Creates the QML engine and compiles the card's and the notices' views without showing anything, so
    // the first panel opens sooner. Blocks the main thread while it compiles; call it once the program is
    // idle after start-up. Calling it again, or after a panel was shown, costs nothing.
    void preload();

    // Opens the card next to the anchor (a selection in global logical coordinates) or, without one,
    // centred on the pointer's screen. Leaves the view model as it is.
    void showPopup(std::optional<QRectF> anchor);

    // The card at the anchor, explaining text. The request is made at once and the card shown once the event loop
    // has passed: Qt's network access starts a request on that pass, so it is on its way while the card is built.
    void showExplanation(const QString& text, std::optional<QRectF> anchor, std::optional<AppContext> appContext);
    // The card, centred, waiting for a question.
    void showDirectQuery(std::optional<AppContext> appContext);
    // The card at the anchor with the message in place of an answer.
    void showFailure(std::optional<QRectF> anchor, const QString& message);

    // Opens a notice near the pointer showing the QML view at `view`, created with `properties`. The view
    // may declare `signal closeRequested()` to close it, and `cornerRadius` for its rounded corners.
    // With a delay, whatever panel is open when it runs out is closed. Returns the notice's panel (null when the
    // view could not be made); an object that lives as long as the notice can be made its child.
    QQuickWindow* showNotice(const QUrl& view, const QVariantMap& properties = {},
        std::optional<std::chrono::milliseconds> closeAfter = std::nullopt);
    // A notice with a symbol icon and a message.
    void showSimpleNotice(const QString& icon, const QString& message,
        std::optional<std::chrono::milliseconds> closeAfter = std::nullopt);

    // Shows the card at the captured region and explains the JPEG screenshot in it; as showExplanation, the card
    // once the request has started.
    void showScreenshotExplanation(QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext);

    // Closes the shown panel, if any.
    Q_INVOKABLE void closePopup();
    // Closes the shown panel if it holds the keyboard; true then.
    bool closeIfItHasTheKeyboard();

    // The panel on screen, or null.
    QQuickWindow* panel() const;
    // The panel on screen, or about to be shown, is the card (an answer, one on its way, or the question field),
    // not a notice.
    bool isShowingCard() const;

signals:
    void panelShown();
    void panelClosed();

private:
    // The compiled view at `view`, compiled on first use.
    QQmlComponent* component(const QUrl& view);
    PopupPanel* createPanel(const QUrl& view, const QVariantMap& properties);
    void present(PopupPanel* panel, const QRectF& frame, bool isCard);
    void dismissPanel();
    void showPopupAfterThisPass(std::optional<QRectF> anchor);
    void installMonitors();
    void removeMonitors();

    PopupViewModel& m_viewModel;
    Platform& m_platform;
    QmlEngineProvider& m_engines;
    QHash<QUrl, QQmlComponent*> m_components;
    QPointer<PopupPanel> m_panel;
    bool m_panelIsCard = false;
    // A card is to be shown once the event loop has passed; any panel shown or closed before drops it.
    bool m_cardPending = false;
    quint64 m_dismissals = 0;
    QList<QMetaObject::Connection> m_monitorConnections;
};
