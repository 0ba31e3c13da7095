#include "tools/qorvctl/TaskRules.h"

namespace {

struct Rule
{
    const char* command;
    TaskRules::Kind kind;
    qint64 success;
};

// The service's own commands. Anything else (a command another client offers) is taken as a
// progress task that succeeds with 100 unless the options say otherwise.
constexpr Rule kRules[] = {
    {"download", TaskRules::Kind::Progress, 100},
    {"unzip", TaskRules::Kind::Progress, 100},
    {"replace", TaskRules::Kind::Progress, 100},
    {"update", TaskRules::Kind::Progress, 100},
    {"pre_uninst", TaskRules::Kind::Single, 100},
    {"query_proc", TaskRules::Kind::Single, 100}, // 101: not running
    {"query_hardware", TaskRules::Kind::Single, 0},
    {"query_disk_space", TaskRules::Kind::Single, 0},
    {"query_cpu", TaskRules::Kind::Single, 0},
    {"query_memory", TaskRules::Kind::Single, 0},
    {"query_top_process", TaskRules::Kind::Single, 0},
    {"snap_shot_area", TaskRules::Kind::Single, 0}, // 100 is a failure here
    {"snap_shot_fullscreen", TaskRules::Kind::Single, 0},
    {"count_down", TaskRules::Kind::Single, 0},
    {"public_network", TaskRules::Kind::Single, 0},
    {"get_interface", TaskRules::Kind::Single, 0},
    {"post_interface", TaskRules::Kind::Single, 0},
    {"stop_download", TaskRules::Kind::Silent, 0},
    {"stop_unzip", TaskRules::Kind::Silent, 0},
    {"stop_replace", TaskRules::Kind::Silent, 0},
    {"stop_update", TaskRules::Kind::Silent, 0},
    {"start_proc", TaskRules::Kind::Silent, 0},
    {"keep_proc", TaskRules::Kind::Silent, 0},
    {"stop_proc", TaskRules::Kind::Silent, 0},
    {"command_custom_toast", TaskRules::Kind::Silent, 0},
    {"command_show_tips_view", TaskRules::Kind::Silent, 0},
};

} // namespace

TaskRules TaskRules::ForCommand(const QString& _qstrCommand)
{
    TaskRules rules;
    for (const Rule& rule : kRules)
        if (_qstrCommand == QLatin1String(rule.command)) {
            rules.m_kind = rule.kind;
            rules.m_listSuccess = {rule.success};
        }
    return rules;
}
