// Windows base types, result codes and wave-format records for non-Windows builds. Sizes match the
// Windows ABI (LONG and DWORD are 32-bit; WCHAR is a UTF-16 code unit).
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using UINT32 = std::uint32_t;
using INT = std::int32_t;
using INT32 = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using INT64 = std::int64_t;
using UINT64 = std::uint64_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using BOOL = int;
using BOOLEAN = BYTE;
using HRESULT = std::int32_t;
using WCHAR = char16_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using LPDWORD = DWORD*;
using REFERENCE_TIME = LONGLONG;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define CALLBACK

constexpr HRESULT MAKE_HRESULT_CODE(std::uint32_t v) { return static_cast<HRESULT>(v); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MAKE_HRESULT_CODE(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MAKE_HRESULT_CODE(0x80004002u);
constexpr HRESULT E_POINTER = MAKE_HRESULT_CODE(0x80004003u);
constexpr HRESULT E_ABORT = MAKE_HRESULT_CODE(0x80004004u);
constexpr HRESULT E_FAIL = MAKE_HRESULT_CODE(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MAKE_HRESULT_CODE(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = MAKE_HRESULT_CODE(0x80070005u);
constexpr HRESULT E_HANDLE = MAKE_HRESULT_CODE(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = MAKE_HRESULT_CODE(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MAKE_HRESULT_CODE(0x80070057u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MAKE_HRESULT_CODE(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = MAKE_HRESULT_CODE(0x80040110u);
constexpr HRESULT CO_E_NOTINITIALIZED = MAKE_HRESULT_CODE(0x800401F0u);
constexpr HRESULT RPC_E_CHANGED_MODE = MAKE_HRESULT_CODE(0x80010106u);
constexpr HRESULT HRESULT_FROM_WIN32_ERROR_NOT_FOUND = MAKE_HRESULT_CODE(0x80070490u);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return code == 0 ? 0 : static_cast<HRESULT>((code & 0x0000FFFFu) | 0x80070000u);
}

// Win32 error codes returned by GetLastError.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NOT_FOUND = 1168;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualIID(const GUID& a, const GUID& b) { return a == b; }

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
using PWAVEFORMATEX = WAVEFORMATEX*;

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// {00000001-0000-0010-8000-00aa00389b71} and {00000003-...}: the PCM and float sub-formats.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

constexpr DWORD SPEAKER_FRONT_LEFT = 0x1;
constexpr DWORD SPEAKER_FRONT_RIGHT = 0x2;
constexpr DWORD SPEAKER_FRONT_CENTER = 0x4;
constexpr DWORD SPEAKER_LOW_FREQUENCY = 0x8;
constexpr DWORD SPEAKER_BACK_LEFT = 0x10;
constexpr DWORD SPEAKER_BACK_RIGHT = 0x20;
constexpr DWORD SPEAKER_SIDE_LEFT = 0x200;
constexpr DWORD SPEAKER_SIDE_RIGHT = 0x400;
constexpr DWORD KSAUDIO_SPEAKER_MONO = SPEAKER_FRONT_CENTER;
constexpr DWORD KSAUDIO_SPEAKER_STEREO = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
