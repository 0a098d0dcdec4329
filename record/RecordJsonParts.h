#pragma once
// The JSON texts of a record's parts, as the store keeps them in columns of their own. The texts are
// the ones RecordJson writes for the same parts, so that a record read back from its columns writes
// the same JSON again (the chain of the store hashes that text).

#include <optional>
#include <string>

#include "record/ServiceRecord.h"

std::string AsFoundJson(const TAsFound& asFound);
std::string AsLeftJson(const TAsLeft& asLeft);
// Nothing for a text that is not such an object.
std::optional<TAsFound> AsFoundFromJson(const std::string& json);
std::optional<TAsLeft> AsLeftFromJson(const std::string& json);
