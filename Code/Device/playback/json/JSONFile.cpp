#include "playback/json/JSONFile.h"

#include "platform/OsServices.h"

char JSONStream::ReadNextChar() {
    if (cNextChar != 0) {
        char c = cNextChar;
        cNextChar = 0;
        return c;
    }
    return ReadChar();
}

JSONFile::JSONFile(std::string path) { LoadFile(path.c_str()); }

JSONFile::~JSONFile() { delete[] pBuffer; }

void JSONFile::LoadFile(const char* path) {
    char* buffer = nullptr;
    uint32_t size = 0;
    if (OsReadRegularFile(path, kJSONFileMaxBytes, &buffer, &size) == 0) {
        return;
    }
    pBuffer = buffer;
    nSize = size;
    bLoaded = true;
    // Editors on some hosts write a UTF-8 byte-order mark in front of the text.
    if (nSize >= 3 && static_cast<unsigned char>(pBuffer[0]) == 0xEF &&
        static_cast<unsigned char>(pBuffer[1]) == 0xBB && static_cast<unsigned char>(pBuffer[2]) == 0xBF) {
        nPosition = 3;
    }
}

char JSONFile::ReadChar() {
    if (nPosition >= nSize) {
        return 0;
    }
    return pBuffer[nPosition++];
}
