// Small utilities shared by the library: formatting, trimming, file helpers, prompts.
#pragma once

#include <string>
#include <vector>

struct PPG_WAVEFORM;

// printf-style formatting into a string; null or empty format gives "". An encoding
// error gives "". (The format is a C string: va_start on a class-type parameter is not
// portable.)
std::string StringFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// In-place white-space trims (isspace in the default locale). Null is ignored.
void StringTrimRight(char* text);
void StringTrimLeft(char* text);
void StringTrim(char* text);

// The waveform's fAmplitude1 (mV); 0 for null. Defined with the waveform model.
double GetPPGAmplitude(PPG_WAVEFORM* waveform);

// Whole-file helpers: nothing in the library calls them.
bool ReadFileBinaryData(char* path, unsigned char** data, unsigned int* size);
bool WriteFileBinaryData(const char* path, unsigned char* data, unsigned int size);
void SaveRawDataToFile(const char* path, std::vector<double>& values);

int PromptPressAnyKey(const char* prompt);
int PressAnyKeyToContinue();
int PressAnyKeyToExit();
