#include "mailparse/SAFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAData.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAFile, SAObject)

SAFile::SAFile(const char* path) : _path(new SAString(path)) {}

SAFile::~SAFile() { SAObject::release(_path); }

SAData* SAFile::copyData() const {
    if (!_path->cString())
        return nullptr;
    // 1. Open, find the size.
    std::FILE* file = std::fopen(_path->cString(), "r");
    if (!file)
        return nullptr;
    struct stat info;
    long size = -1;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    if (size <= 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    // 2. Read it whole in one block.
    auto* bytes = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    if (!bytes || std::fread(bytes, static_cast<size_t>(size), 1, file) != 1) {
        std::free(bytes);
        std::fclose(file);
        return nullptr;
    }
    std::fclose(file);
    // 3. Hand the buffer to a data object.
    auto* data = new SAData(bytes, static_cast<unsigned long>(size), true);
    data->_setOwner(true);
    return data;
}
