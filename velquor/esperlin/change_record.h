// The change record of one significant signal, with its explanation and its
// triggering event looked up in prebuilt indexes (the run makes one record
// per significant signal, so it builds the indexes once).
#pragma once

#include "shared/json.h"
#include "velquor/esperlin/key_index.h"

namespace velquor::esperlin {

Json change_record(const Json& signal, const KeyIndex& explanations, const KeyIndex& events);

}  // namespace velquor::esperlin
