#pragma once

#include <vector>

#include "EngineRun.h"

namespace emutest {

std::vector<Scenario> AllScenarios();

} // namespace emutest
