// The helpers shared by the test programs, one header per concern.
#pragma once
#include "files.h"
#include "hooks.h"
#include "processes.h"
#include "registry.h"
