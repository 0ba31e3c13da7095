#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"

#include <QObject>

#include <memory>
#include <vector>

class MessageService;

// Owns the abilities in their fixed order, registers their commands with the hub as
// "message_service" and offers each command to them on the main thread.
class AbilityManager : public QObject
{
    Q_OBJECT
public:
    using Abilities = std::vector<std::unique_ptr<IAbility>>;

    // _abilities: made by the executable in their fixed order, so core never depends on a feature
    // folder nor counts them; a null one is logged and skipped. The manager becomes _hub's
    // receiver of everything sent to "message_service" until it is destroyed. Main thread, before
    // the transports start.
    AbilityManager(Abilities _abilities, MessageService& _hub);
    ~AbilityManager() override;
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
    MessageService& m_hub;
    Abilities m_vecAbilities;
};
