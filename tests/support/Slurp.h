// A file's bytes, read whole, for the tests that compare what was written.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace sio::test {

// A file's bytes, or "" when it cannot be read.
inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace sio::test
