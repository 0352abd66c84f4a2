// Small valid inputs for every fuzz target, made by the test writers (which follow the
// formats independently of the readers): the fuzzers' seed corpora, and the files the
// replay and truncation tests cut and replay.
#pragma once

#include <string>
#include <vector>

namespace QVX::Fuzz {

struct Seed {
  std::string name;   // a file name, unique within its target
  std::string bytes;  // the whole input
};

// The seeds of the target named `target` (a Target::name); empty for an unknown name.
std::vector<Seed> seeds(const std::string& target);

}  // namespace QVX::Fuzz
