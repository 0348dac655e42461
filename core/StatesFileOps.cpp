#include "core/StatesFileOps.h"

#include <unistd.h>

TStatesFileOps& StatesFileOps() {
    static TStatesFileOps ops;
    return ops;
}

TFileRead TStatesFileOps::ReadAll(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& bytes) {
    return ReadRegularFile(path, maxSize, bytes);
}

void TStatesFileOps::RemoveTemp(const std::string& path) {
    ::unlink(TempName(path).c_str());
}
