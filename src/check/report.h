// The plan and the findings for people (text) and for programs (JSON).
#pragma once

#include "check/plan.h"
#include "environment/text.h"

namespace dismora::check {

// The finding's kind as the JSON output names it ("duplicate", "unknown-root", ...).
const char16_t* FindingKindName(FindingKind kind);

// Lines end with "\n".
Text RenderText(const Plan& plan);

// One JSON object, ASCII only (everything else as \u escapes), ending with "\n".
Text RenderJson(const Plan& plan);

}  // namespace dismora::check
