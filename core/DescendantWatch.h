#pragma once

#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

// Holds the processes started below one child of this process together as a group that none of
// them can leave, whatever they do: kill the child that started them, fork twice, leave their
// session, rename themselves. While a group is watched this process adopts every orphan among its
// descendants, so each process of a group stays findable from here; a group ends when its first
// process and every process below it have ended. A group whose first process ended while others
// of it live on (it was killed from inside) can no longer be watched as a whole, so what is left
// of it is killed at once. Programs started for clients, this process's own children and
// everything that was running before the group are never counted in it.
// Main thread only, except NoteStartedForClient.
class DescendantWatch
{
public:
    // _nLeftOver: processes that outlived the group's first process and were killed for it.
    using Ended = std::function<void(int _nLeftOver)>;

    static DescendantWatch& Instance();

    // Before the first process is started, so that none of its orphans can slip away to init.
    int Open(Ended _funcEnded);
    // The group's first process: a child of this process, started after Open and not waited for.
    // It may have been started suspended, where a platform can only place it in the group before
    // it runs: it runs once it is in the group.
    void SetRoot(int _nGroup, qint64 _nRootPid);
    // Kills every process of the group, its first one included; the group ends when all are gone.
    void Kill(int _nGroup);
    // The caller no longer waits for the group: what is left of it is killed, nobody is told.
    void Release(int _nGroup);
    // Looks at the processes now instead of at the next tick (the caller saw its child end).
    void Check();
    // True while a group is watched (this process then adopts orphans).
    bool IsWatching() const;

    // Any thread: a program this process started for a client, never part of a group.
    static void NoteStartedForClient(qint64 _nPid);

    static constexpr int kWatchTickMs = 100;
    static constexpr int kKillTickMs = 20;
    static constexpr int kReapTickMs = 1000;

private:
    DescendantWatch();
    ~DescendantWatch();
    DescendantWatch(const DescendantWatch&) = delete;
    DescendantWatch& operator=(const DescendantWatch&) = delete;

    struct State;
    void Schedule();

    std::unique_ptr<State> m_pState;
    // Owned by the application, so no timer outlives the event loop's thread data.
    QPointer<QTimer> m_pTimer;
};
