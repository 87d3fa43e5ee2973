// Every family's declarations; module.cpp registers their names in order.
#pragma once

#include "bind/bind.hpp"

const bind::Family& protocol_family();
const bind::Family& tokenizer_family();
const bind::Family& similarity_family();
const bind::Family& embeddings_family();
const bind::Family& streaming_filter_family();
const bind::Family& thinking_family();
const bind::Family& classifier_family();
const bind::Family& pattern_match_family();
const bind::Family& secrets_family();
const bind::Family& sanitizer_family();
const bind::Family& extractor_family();
const bind::Family& ast_indexer_family();
