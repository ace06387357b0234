// The decoder module linked in, as the tests, the fuzzers and the benchmarks have it.
#include "sandbox.h"

const DecoderModule *openDecoder(std::string *) { return &lumoscapeDecoder; }
