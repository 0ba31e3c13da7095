// The service's own tips windows through the hub and the tips ability, as in the service: a
// window closed by its handle is gone, also when the close comes before the queued command that
// opens it has run.
#include "core/AbilityManager.h"
#include "core/MessageService.h"
#include "notices/AbilityCustomToastTool.h"
#include "notices/ServiceTips.h"
#include "notices/ViewTips.h"

#include <QApplication>
#include <QtTest>

class tst_ServiceTips : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void closedByHandle_data();
    void closedByHandle();

private:
    std::shared_ptr<ServiceTips> m_pTips;
    std::unique_ptr<AbilityManager> m_pManager;
};

namespace {

// Tips windows that exist, shown or not.
int TipsWindows()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += qobject_cast<ViewTips*>(widget) ? 1 : 0;
    return count;
}

int ShownTipsWindows()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += qobject_cast<ViewTips*>(widget) && widget->isVisible() ? 1 : 0;
    return count;
}

ViewTipsData Description()
{
    ViewTipsData description;
    description.LoadFromString(QStringLiteral(R"({"width":100,"height":50,"strong_stips":true})"));
    return description;
}

} // namespace

void tst_ServiceTips::initTestCase()
{
    m_pTips = std::make_shared<ServiceTips>(MessageService::Instance());
    AbilityManager::Abilities abilities;
    abilities.push_back(std::make_unique<AbilityCustomToastTool>(m_pTips));
    m_pManager = std::make_unique<AbilityManager>(std::move(abilities), MessageService::Instance());
    m_pManager->RegistAbilities();
}

void tst_ServiceTips::cleanup()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<ViewTips*>(widget))
            widget->deleteLater();
    QTRY_COMPARE(TipsWindows(), 0);
}

void tst_ServiceTips::closedByHandle_data()
{
    QTest::addColumn<QString>("closed");
    QTest::addColumn<int>("windows");
    QTest::newRow("never") << "never" << 2;
    QTest::newRow("before its command ran") << "before" << 1;
    QTest::newRow("once it was shown") << "after" << 1;
}

void tst_ServiceTips::closedByHandle()
{
    QFETCH(QString, closed);
    QFETCH(int, windows);
    const ServiceTips::Handle handle = m_pTips->Show(Description());
    if (closed == QLatin1String("before")) {
        m_pTips->Close(handle);
    } else if (closed == QLatin1String("after")) {
        QTRY_COMPARE(ShownTipsWindows(), 1);
        m_pTips->Close(handle);
    }
    // Commands reach the ability in order: once this one is shown, the first was dealt with.
    m_pTips->Show(Description());
    QTRY_COMPARE(ShownTipsWindows(), windows);
    // A closed window is deleted, not only hidden.
    QTRY_COMPARE(TipsWindows(), windows);
}

QTEST_MAIN(tst_ServiceTips)
#include "tst_ServiceTips.moc"
