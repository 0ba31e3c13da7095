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
    // Makes one ability; may yield null (logged and skipped).
    using Maker = std::function<IAbility*()>;

    static AbilityManager& Instance();
    // The executable lists its abilities, in their fixed order, so core never depends on a
    // feature folder nor counts them.
    static void SetFactory(std::vector<Maker> _vecMakers);
    // Creates the abilities through the factory, in their fixed order, on the calling thread:
    // the main thread, explicitly, before the transports start. Once only.
    void CreateAbilities();

    // Index from 1; null outside the list.
    IAbility* CreateAbility(int _nIndex);
    // Registers every command with the hub, and hands it the catalog of how each answers.
    void RegistAbilities();
    QStringList AllCommandNames() const;
    // {"commands":[{"name","reply","success"}...]} in the order of AllCommandNames.
    QByteArray CatalogText() const;
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
