// The capture logic on the fake platform: categories, the reader's order of sources and its care for
// the clipboard, the coordinator's entries and the D-Bus entry.
#include "app/servicehandler.h"
#include "capture/accessibilityreader.h"
#include "capture/appcontext.h"
#include "capture/capturepresenter.h"
#include "capture/textcapturecoordinator.h"
#include "fakeplatform.h"
#include "screenshot/screenshotcapturemanager.h"

#include <QRegularExpression>
#include <QTest>

namespace {

// Records each call as one line: "popup <anchor>", "explain [<text>] <context>", "ask <context>", the
// notice's icon and message, "accessibilityPrompt".
struct RecordingPresenter final : CapturePresenter {
    QStringList calls;

    static QString describe(const std::optional<AppContext>& c)
    {
        return c ? QStringList { c->appName, c->appCategory, c->windowTitle.value_or("-") }.join('/') : "none";
    }
    void popup(std::optional<QRectF> a)
    {
        calls << (a ? QStringLiteral("popup %1,%2 %3x%4").arg(a->x()).arg(a->y()).arg(a->width()).arg(a->height())
                    : "popup");
    }
    void showExplanation(TextCapture c) override
    {
        popup(c.anchor);
        calls << "explain [" + c.text + "] " + describe(c.appContext);
    }
    void showDirectQuery(std::optional<AppContext> c) override
    {
        popup(std::nullopt);
        calls << "ask " + describe(c);
    }
    void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds) override
    {
        calls << icon + ' ' + message;
    }
    void showAccessibilityPrompt() override { calls << "accessibilityPrompt"; }
    void showScreenshotExplanation(QByteArray jpeg, std::optional<QRectF> a, std::optional<AppContext> c) override
    {
        popup(a);
        calls << QStringLiteral("image %1 bytes %2").arg(jpeg.size()).arg(describe(c));
    }
    void showFailure(std::optional<QRectF> a, const QString& message) override
    {
        popup(a);
        calls << "error " + message;
    }
};

constexpr qint64 appPid = 4242;

FrontmostAppInfo app(const QString& id)
{
    return { id, QStringLiteral("Some App"), appPid, QStringLiteral("A window"), 77 };
}

const PasteboardSnapshot richClipboard { { { "image/png", QByteArray("\x89PNG\r\n\x1a\n\0\1", 10) },
    { "text/html", "<b>kept</b>" }, { "text/plain", "kept" } } };

} // namespace

class TestCaptureCoordinator : public QObject {
    Q_OBJECT

    FakePlatform fakes;

private slots:
    void init() { fakes = FakePlatform::make(); }

    // An exact row itself, and no id at all: the entries' cases (Kate, Okular, an application without an id).
    void categoryTable_data()
    {
        // clang-format off
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("category");
        QTest::newRow("prefix row, longer id") << "com.apple.SafariTechnologyPreview" << "browser";
        QTest::newRow("exact row, longer id") << "com.apple.Preview.extra" << "general";
        // clang-format on
    }

    void categoryTable()
    {
        QFETCH(QString, id);
        QFETCH(QString, category);
        QCOMPARE(AppContextCapture::category(id), category);
    }

    // Each row starts from a clipboard holding an image, HTML and text, which must be there afterwards. (The
    // accessible selection first, never another's PRIMARY, nothing copied, xterm: the selection reader's test.)
    void readerOrder_data()
    {
        // clang-format off
        QTest::addColumn<QString>("appId");
        QTest::addColumn<QString>("accessible"); // null: no accessible selection
        QTest::addColumn<qint64>("primaryOwner"); // 0: nobody owns PRIMARY
        QTest::addColumn<QString>("copied"); // what the copy shortcut copies; null: nothing
        QTest::addColumn<QString>("expected"); // null: no text
        QTest::addColumn<QList<bool>>("shortcuts"); // toTerminal of each copy shortcut sent
        const QString none;
        const QList<bool> noKey, plainKey { false }, terminalKey { true };
        QTest::newRow("then PRIMARY") << "gedit" << "" << appPid << "c" << "primary" << noKey;
        QTest::newRow("empty text copied") << "abiword" << none << qint64(0) << "" << none << plainKey;
        QTest::newRow("terminal copy key") << "kitty" << none << qint64(0) << "ls -la" << "ls -la" << terminalKey;
        // clang-format on
    }

    void readerOrder()
    {
        QFETCH(QString, appId);
        QFETCH(QString, accessible);
        QFETCH(qint64, primaryOwner);
        QFETCH(QString, copied);
        QFETCH(QString, expected);
        QFETCH(QList<bool>, shortcuts);
        const QRectF box(100, 50, 200, 20);
        fakes.frontmostApplication->app = app(appId);
        fakes.accessibility->selection
            = accessible.isNull() ? std::nullopt : std::optional(AccessibleSelection { accessible, box });
        fakes.keyboard->textToCopy = copied.isNull() ? std::nullopt : std::optional(copied);
        if (primaryOwner)
            fakes.pasteboard->primaryByOwnerPid.insert(primaryOwner, QStringLiteral("primary"));
        fakes.pasteboard->setContent(richClipboard);

        AccessibilityReader reader(*fakes);
        const SelectionReading reading = QCoro::waitFor(reader.readSelection(app(appId)));
        QCOMPARE(reading.text.value_or(QString()), expected);
        QCOMPARE(reading.text.has_value(), !expected.isNull());
        QCOMPARE(reading.bounds, !accessible.isNull() && expected == accessible ? std::optional(box) : std::nullopt);
        QCOMPARE(fakes.accessibility->lastPid, appPid);
        QCOMPARE(fakes.keyboard->copyShortcutsSent, shortcuts);
        QCOMPARE(fakes.pasteboard->content.formats, richClipboard.formats);
    }

    // An application accessibility has not told of (yet): the pasteboard still judges its PRIMARY selection (by
    // the compositor's order of windows, where it has one); no copy key goes to an application not known.
    void anUnknownApplicationsPrimaryIsStillJudged()
    {
        fakes.pasteboard->primaryByOwnerPid.insert(0, QStringLiteral("primary"));
        fakes.keyboard->textToCopy = QStringLiteral("copied");
        AccessibilityReader reader(*fakes);
        QCOMPARE(QCoro::waitFor(reader.readSelection(std::nullopt)).text, std::optional(QStringLiteral("primary")));
        fakes.pasteboard->primaryByOwnerPid.clear();
        QCOMPARE(QCoro::waitFor(reader.readSelection(std::nullopt)).text, std::nullopt);
        QVERIFY(fakes.keyboard->copyShortcutsSent.isEmpty());
    }

    void threeEntries()
    {
        RecordingPresenter presenter;
        ScreenshotCaptureManager screenshots(*fakes);
        TextCaptureCoordinator coordinator(presenter, *fakes, screenshots);
        coordinator.explainText(QStringLiteral(" handed over ")); // no active application: no context
        fakes.frontmostApplication->app = FrontmostAppInfo { QString(), QString(), 12, QString(), 1 };
        coordinator.askAnything();

        fakes.frontmostApplication->app = app(QStringLiteral("org.kde.kate"));
        fakes.accessibility->usable = false;
        QCoro::waitFor(coordinator.explainSelectedText());
        QCOMPARE(fakes.accessibility->selectionReads, 0);
        fakes.accessibility->usable = true;
        QCoro::Task<> first = coordinator.explainSelectedText(); // waits for a copy that never comes
        QCoro::Task<> second = coordinator.explainSelectedText(); // dropped: a reading is under way
        QCoro::waitFor(first);
        QCoro::waitFor(second);
        fakes.keyboard->sendsKeys = false; // GNOME: the notice tells what the user can do instead
        QCoro::waitFor(coordinator.explainSelectedText());
        fakes.keyboard->sendsKeys = true;
        fakes.accessibility->selection = AccessibleSelection { QStringLiteral("   "), QRectF(100, 50, 200, 20) };
        QCoro::waitFor(coordinator.explainSelectedText());
        QVERIFY(!coordinator.isReading());
        QCOMPARE(presenter.calls.join(" | "),
            "popup | explain [ handed over ] none | popup | ask Unknown/general/- | accessibilityPrompt | "
            "text.cursor No text selected | text.cursor "
                + TextCaptureCoordinator::noTextWithoutCopyMessage
                + " | popup 100,50 200x20 | explain [   ] Some App/code_editor/A window");
    }

    // No way to capture: a notice. Otherwise the card at the region with the picture and the context of the
    // trigger, or with an error when no picture came of it; a cancel shows nothing.
    void screenshotRoad()
    {
        RecordingPresenter presenter;
        ScreenshotCaptureManager screenshots(*fakes);
        TextCaptureCoordinator coordinator(presenter, *fakes, screenshots);
        fakes.screenCapture->available = false;
        coordinator.explainScreenshot();
        fakes.screenCapture->available = true;
        // A picture, none (a failed grab), and a cancel; the calls each adds.
        for (const auto& [picture, selected, calls] : { std::tuple(QImage(1920, 1080, QImage::Format_RGB32), true, 3),
                 std::tuple(QImage(), true, 5), std::tuple(QImage(), false, 5) }) {
            fakes.screenCapture->images = { picture };
            fakes.frontmostApplication->app = app(QStringLiteral("org.kde.okular"));
            coordinator.explainScreenshot();
            fakes.frontmostApplication->app.reset(); // our overlay is in front now
            QTRY_COMPARE(screenshots.overlayPanels().size(), 1);
            if (selected)
                screenshots.handleSelection(QRectF(100, 50, 200, 20));
            else
                screenshots.handleCancel();
            QTRY_COMPARE(presenter.calls.size(), calls);
        }
        presenter.calls[2].remove(QRegularExpression(" \\d+ bytes"));
        QCOMPARE(presenter.calls.join(" | "),
            "exclamationmark.triangle " + TextCaptureCoordinator::noScreenshotMessage
                + " | popup 100,50 200x20 | image Some App/pdf_reader/A window | popup 100,50 200x20 | error "
                + TextCaptureCoordinator::captureFailedMessage);
    }

    void dbusEntryPassesTextOnLaterAndInOrder()
    {
        ServiceHandler handler;
        QStringList received;
        handler.onTextReceived = [&](const QString& text) { received << text; };
        handler.ExplainText(QStringLiteral(" "));
        handler.ExplainText(QStringLiteral("second"));
        QVERIFY(received.isEmpty()); // the caller is answered before any work starts
        QTRY_COMPARE(received, (QStringList { " ", "second" }));

        ServiceHandler bare; // nothing connected: accepted, nothing happens
        bare.ExplainText(QStringLiteral("x"));
        bare.ExplainScreenshot();
        QTest::qWait(10);
    }
};

QTEST_MAIN(TestCaptureCoordinator)
#include "tst_capturecoordinator.moc"
