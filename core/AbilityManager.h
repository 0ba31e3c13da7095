#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"

#include <QObject>

#include <functional>
#include <vector>

// Creates the abilities in their fixed order, registers their commands with the hub as
// "message_service" and offers each command to them on the main thread.
class AbilityManager : public QObject
{
    Q_OBJECT
public:
    using Factory = std::function<IAbility*(int)>;

    static AbilityManager& Instance();
    // The executable supplies the factory, so core never depends on a feature folder. Without
    // one, every index yields null.
    static void SetFactory(Factory _factory);
    // Creates the abilities through the factory, in their fixed order, on the calling thread:
    // the main thread, explicitly, before the transports start. Once only.
    void CreateAbilities();

    static constexpr int kAbilityCount = 8;

    IAbility* CreateAbility(int _nIndex);
    void RegistAbilities();
    QStringList AllCommandNames() const;
    void OnRecvCommandRet(const JsonCommand& _jsonCommand);
    // An envelope the hub delivers to "message_service", from any thread: answers are logged,
    // commands are queued to the abilities on the manager's thread.
    void Receive(const JsonCommand& _jsonCommand);
    // Releases every ability now (the destructor does the same at exit).
    void ReleaseAll();

signals:
    void SignRecvFromMessageService(JsonCommand stuJsonCommand);

public slots:
    void SlotRecvFromMessageService(JsonCommand stuJsonCommand);

private:
    AbilityManager();
    ~AbilityManager() override;
    void ReleaseAbility(IAbility* _pAbility);

    std::vector<IAbility*> m_vecAbilities;
};
