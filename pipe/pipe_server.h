// What Windows says of the process that serves a pipe: its id and its
// token's user and groups. Replaceable, because under Wine a token read from
// another process always looks like an administrator's: tests put what
// Windows would report here.
#pragma once

#include <windows.h>

#include "pipe/pipe_server_rule.h"

PipeServerFacts ReadPipeServerToken(HANDLE pipe);

extern PipeServerFacts (*ReadPipeServer)(HANDLE pipe);
