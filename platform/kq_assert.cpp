// The log line of a broken rule.
#include "kq_assert.h"

bool kq_rule_broken(const char *file, int line, const char *rule)
{
    log_print(KQ_LOG_ERROR, "[%s:%d]broken rule: %s\n\n", file != nullptr ? file : "?", line,
              rule != nullptr ? rule : "?");
    return false;
}
