#include "fakeplatform.h"
#include "onboarding/accessibilitypermissionmodel.h"

#include <QSignalSpy>
#include <QTest>

class AccessibilityPermissionTest : public QObject {
    Q_OBJECT

private slots:
    void turningSupportOnIsSeenByThePollingAndClosesThePrompt()
    {
        FakeAccessibility accessibility;
        accessibility.usable = false;
        AccessibilityPermissionModel model(&accessibility);
        QSignalSpy dismissed(&model, &AccessibilityPermissionModel::dismissRequested);
        model.startPolling();
        QVERIFY(model.isPolling());

        model.turnOn();
        QVERIFY(accessibility.usable);
        QVERIFY(!model.isGranted()); // the prompt believes the desktop, not its own button
        QTRY_VERIFY_WITH_TIMEOUT(model.isGranted(), 5000);
        QVERIFY(!model.isPolling());
        QCOMPARE(dismissed.size(), 0); // the confirmation stays up for a moment
        QTRY_COMPARE_WITH_TIMEOUT(dismissed.size(), 1, 5000);
    }

    void withoutSupportItKeepsWaitingUntilClosed()
    {
        FakeAccessibility accessibility;
        accessibility.usable = false;
        AccessibilityPermissionModel model(&accessibility);
        QSignalSpy dismissed(&model, &AccessibilityPermissionModel::dismissRequested);
        model.startPolling();
        QTest::qWait(int(AccessibilityPermissionModel::pollInterval.count()) + 300);
        QVERIFY(!model.isGranted());
        QVERIFY(model.isPolling());

        model.dismiss();
        QVERIFY(!model.isPolling());
        QCOMPARE(dismissed.size(), 1);
    }
};

QTEST_GUILESS_MAIN(AccessibilityPermissionTest)
#include "tst_accessibilitypermission.moc"
