#include "fakeplatform.h"
#include "onboarding/accessibilitypermissionmodel.h"

#include <QSignalSpy>
#include <QTest>

class AccessibilityPermissionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAccessibility> m_accessibility;
    std::unique_ptr<AccessibilityPermissionModel> m_model;
    std::unique_ptr<QSignalSpy> m_dismissed;

private slots:
    void init()
    {
        m_accessibility = std::make_unique<FakeAccessibility>();
        m_accessibility->usable = false;
        m_model = std::make_unique<AccessibilityPermissionModel>(m_accessibility.get());
        m_dismissed = std::make_unique<QSignalSpy>(m_model.get(), &AccessibilityPermissionModel::dismissRequested);
        m_model->startPolling();
        QVERIFY(m_model->isPolling());
    }

    void turningSupportOnIsSeenByThePollingAndClosesThePrompt()
    {
        m_model->turnOn();
        QVERIFY(m_accessibility->usable);
        QVERIFY(!m_model->isGranted()); // the prompt believes the desktop, not its own button
        QTRY_VERIFY_WITH_TIMEOUT(m_model->isGranted(), 5000);
        QVERIFY(!m_model->isPolling());
        QCOMPARE(m_dismissed->size(), 0); // the confirmation stays up for a moment
        QTRY_COMPARE_WITH_TIMEOUT(m_dismissed->size(), 1, 5000);
    }

    void withoutSupportItKeepsWaitingUntilClosed()
    {
        QTest::qWait(int(AccessibilityPermissionModel::pollInterval.count()) + 300);
        QVERIFY(!m_model->isGranted());
        QVERIFY(m_model->isPolling());

        m_model->dismiss();
        QVERIFY(!m_model->isPolling());
        QCOMPARE(m_dismissed->size(), 1);
    }
};

QTEST_GUILESS_MAIN(AccessibilityPermissionTest)
#include "tst_accessibilitypermission.moc"
