#pragma once

#include "mailparse/SAObject.h"

class SAString;
class SAData;

const char* GETIDSAFile();
const char* GETNAMESAFile();

// A file named by its path.
class SAFile : public SAObject {
public:
    explicit SAFile(const char* path);
    ~SAFile() override;
    SAFile(const SAFile&) = delete;
    SAFile& operator=(const SAFile&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;

    /// The path (borrowed).
    SAString* path() const { return _path; }
    /// New owning data object with the whole content of the file (caller
    /// releases); null when the file cannot be opened or read whole, is not a
    /// regular file, or is empty.
    SAData* copyData() const;

protected:
    SAString* _path;
};
