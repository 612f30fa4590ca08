// Windows CE kernel services used by the program: files, synchronisation and threads, memory,
// HAL I/O controls, debug output, version, time and module loading.
//
// Every function keeps the platform's name, argument order and result. On a development host
// the virtual module answers them.
#pragma once

#include "platform/text.h"
#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// Files and directories
// ---------------------------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800u
#define FILE_ATTRIBUTE_ROMMODULE 0x00002000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu

// 560 bytes on the module; it travels inside file system sections.
struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;
static_assert(sizeof(WIN32_FIND_DATAW) == 560);
static_assert(offsetof(WIN32_FIND_DATAW, ftCreationTime) == 4);
static_assert(offsetof(WIN32_FIND_DATAW, ftLastAccessTime) == 12);
static_assert(offsetof(WIN32_FIND_DATAW, ftLastWriteTime) == 20);
static_assert(offsetof(WIN32_FIND_DATAW, nFileSizeHigh) == 28);
static_assert(offsetof(WIN32_FIND_DATAW, nFileSizeLow) == 32);
static_assert(offsetof(WIN32_FIND_DATAW, dwOID) == 36);
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 40);

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPVOID overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPVOID overlapped);
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod);
DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                 LPFILETIME lastWriteTime);
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName);
BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL RemoveDirectoryW(LPCWSTR pathName);
DWORD GetFileAttributesW(LPCWSTR fileName);
BOOL SetFileAttributesW(LPCWSTR fileName, DWORD fileAttributes);
HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData);
BOOL FindClose(HANDLE findFile);
struct ULARGE_INTEGER {
  ULONGLONG QuadPart;
};
BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes,
                         ULARGE_INTEGER* totalNumberOfFreeBytes);

BOOL CloseHandle(HANDLE object);
DWORD GetLastError();
void SetLastError(DWORD errorCode);

// ---------------------------------------------------------------------------------------------
// Synchronisation and threads
// ---------------------------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, DWORD stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();
#define STILL_ACTIVE 0x00000103u

// Thread priorities: 0 (time critical) to 7 (idle); new threads run at THREAD_PRIORITY_NORMAL.
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
// The pseudo-handle of the calling thread (valid only in the thread that uses it).
HANDLE GetCurrentThread();
int GetThreadPriority(HANDLE thread);
BOOL SetThreadPriority(HANDLE thread, int priority);

// Named file mappings: CreateFileMappingW with INVALID_HANDLE_VALUE gives shared memory.
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_NOCACHE 0x200u
#define PAGE_PHYSICAL 0x400u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
LPVOID MapViewOfFile(HANDLE fileMappingObject, DWORD desiredAccess, DWORD fileOffsetHigh,
                     DWORD fileOffsetLow, DWORD numberOfBytesToMap);
BOOL UnmapViewOfFile(LPCVOID baseAddress);

// ---------------------------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------------------------
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HLOCAL LocalAlloc(UINT flags, UINT bytes);
HLOCAL LocalFree(HLOCAL memory);

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect);
BOOL VirtualFree(LPVOID address, DWORD size, DWORD freeType);
// Maps the physical pages at source (divided by 256 when protect holds PAGE_PHYSICAL) into a
// range reserved with VirtualAlloc. Only privileged code may call it on the module, and one call
// maps at most 32 MiB (ERROR_INVALID_PARAMETER above that).
BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect);

// ---------------------------------------------------------------------------------------------
// HAL I/O controls
// ---------------------------------------------------------------------------------------------
BOOL KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned);
void SetCleanRebootFlag();

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
void GetLocalTime(LPSYSTEMTIME systemTime);
void GetSystemTime(LPSYSTEMTIME systemTime);
BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime);

using LCID = DWORD;
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_USER_DEFAULT 0x0400u
#define DATE_SHORTDATE 0x00000001u
#define DATE_LONGDATE 0x00000002u
#define TIME_NOSECONDS 0x00000002u
#define TIME_NOMINUTESORSECONDS 0x00000001u
#define TIME_NOTIMEMARKER 0x00000004u
#define TIME_FORCE24HOURFORMAT 0x00000008u
#define LOCALE_NOUSEROVERRIDE 0x80000000u
#define LOCALE_USE_CP_ACP 0x40000000u
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                   LPWSTR dateText, int dateTextLength);
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                   LPWSTR timeText, int timeTextLength);

// ---------------------------------------------------------------------------------------------
// Version
// ---------------------------------------------------------------------------------------------
struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
BOOL GetVersionExW(LPOSVERSIONINFOW versionInformation);

// ---------------------------------------------------------------------------------------------
// Modules
// ---------------------------------------------------------------------------------------------
HMODULE LoadLibraryW(LPCWSTR libFileName);
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName);
BOOL FreeLibrary(HMODULE module);

// ---------------------------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------------------------
// Writes one line of text to the kernel debug output.
void OutputDebugStringW(LPCWSTR text);

// The platform's printf-style debug print. Formatting goes through the program's bounded,
// type-checked formatter; the result is cut at 256 code units as on the module.
template <typename... Args>
void NKDbgPrintfW(LPCWSTR format, const Args&... args) {
  WCHAR line[256];
  FormatText(line, 256, format, args...);
  OutputDebugStringW(line);
}
