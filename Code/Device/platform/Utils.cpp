#include "Utils.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string StringFormat(const char* format, ...) {
    if (format == nullptr || format[0] == '\0')
        return std::string();
    std::vector<char> buffer(strlen(format) * 2 + 1);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int length = vsnprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (length < 0)
            return std::string();  // an encoding error: nothing more can be formatted
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        buffer.resize(static_cast<size_t>(length) + 1);
    }
}

void StringTrimRight(char* text) {
    if (text == nullptr)
        return;
    size_t length = strlen(text);
    while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1])))
        --length;
    text[length] = '\0';
}

void StringTrimLeft(char* text) {
    if (text == nullptr)
        return;
    size_t start = 0;
    while (text[start] != '\0' && isspace(static_cast<unsigned char>(text[start])))
        ++start;
    if (start > 0)
        memmove(text, text + start, strlen(text + start) + 1);
}

void StringTrim(char* text) {
    StringTrimRight(text);
    StringTrimLeft(text);
}

bool ReadFileBinaryData(char* path, unsigned char** data, unsigned int* size) {
    if (path == nullptr || data == nullptr || size == nullptr)
        return false;
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return false;
    std::vector<unsigned char> contents;
    unsigned char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        contents.insert(contents.end(), chunk, chunk + got);
    fclose(file);
    *data = new unsigned char[contents.empty() ? 1 : contents.size()];
    if (!contents.empty())
        memcpy(*data, contents.data(), contents.size());
    *size = static_cast<unsigned int>(contents.size());
    return true;
}

bool WriteFileBinaryData(const char* path, unsigned char* data, unsigned int size) {
    if (path == nullptr || (data == nullptr && size > 0))
        return false;
    FILE* file = fopen(path, "wb");
    if (file == nullptr)
        return false;
    const bool ok = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

void SaveRawDataToFile(const char* path, std::vector<double>& values) {
    if (path == nullptr)
        return;
    FILE* file = fopen(path, "w");
    if (file == nullptr)
        return;
    for (double value : values)
        fprintf(file, "%.6lf\n", value);
    fclose(file);
}

int PromptPressAnyKey(const char* prompt) {
    if (prompt != nullptr)
        fputs(prompt, stdout);
    fflush(stdout);
    return getchar();
}

int PressAnyKeyToContinue() { return PromptPressAnyKey("Press any key to continue...\n"); }

int PressAnyKeyToExit() { return PromptPressAnyKey("Press any key to exit...\n"); }
