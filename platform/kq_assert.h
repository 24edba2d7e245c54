// Rules that guard data, checked in every build (release included).
#pragma once

#include "kq_log.h"

// Logs "[file:line]broken rule: <rule>" at error level. Always false.
bool kq_rule_broken(const char *file, int line, const char *rule);

// UP_ASSERT(cond, rule) evaluates to true when cond holds. When it does not,
// it logs the rule text (a string literal saying what must hold) with the
// file and line, and evaluates to false; the caller then fails its step the
// way it fails for any other error, before touching data:
//
//     if (!UP_ASSERT(got <= want, "a read never hands out more than asked"))
//         return -1;
//
// Unlike assert() it does not depend on NDEBUG and never aborts: the
// program goes on to its own recovery (state file, retry, restore).
#define UP_ASSERT(cond, rule) \
    ((cond) ? true : kq_rule_broken(__FILE_NAME__, __LINE__, (rule)))
