// JSON text as pages and the browser write it, made fit for a strict parser.
#pragma once

#include <string>

namespace engine {

// Every \u escape of a lone UTF-16 surrogate (what JSON.stringify and the
// browser make of one) becomes \uFFFD; pairs and other escapes stay.
std::string ReplaceLoneSurrogates(const std::string& text);

}  // namespace engine
