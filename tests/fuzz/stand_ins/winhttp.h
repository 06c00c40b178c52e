#pragma once

// A stand-in for <winhttp.h> in the native fuzz build: the types, constants
// and calls the HTTP sources name, with WinHTTP's values. Every call fails
// (download_stand_ins.cpp): the fuzz targets give the request class answers
// of their own through its virtual steps.

#include <windows.h>

using HINTERNET = void*;
using INTERNET_PORT = WORD;

#define WINHTTP_ERROR_BASE 12000
#define ERROR_WINHTTP_TIMEOUT (WINHTTP_ERROR_BASE + 2)
#define ERROR_WINHTTP_INTERNAL_ERROR (WINHTTP_ERROR_BASE + 4)
#define ERROR_WINHTTP_INVALID_URL (WINHTTP_ERROR_BASE + 5)
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME (WINHTTP_ERROR_BASE + 6)
#define ERROR_WINHTTP_NAME_NOT_RESOLVED (WINHTTP_ERROR_BASE + 7)
#define ERROR_WINHTTP_OPERATION_CANCELLED (WINHTTP_ERROR_BASE + 17)
#define ERROR_WINHTTP_CANNOT_CONNECT (WINHTTP_ERROR_BASE + 29)
#define ERROR_WINHTTP_CONNECTION_ERROR (WINHTTP_ERROR_BASE + 30)
#define ERROR_WINHTTP_RESEND_REQUEST (WINHTTP_ERROR_BASE + 32)
#define ERROR_WINHTTP_SECURE_CERT_DATE_INVALID (WINHTTP_ERROR_BASE + 37)
#define ERROR_WINHTTP_SECURE_CERT_CN_INVALID (WINHTTP_ERROR_BASE + 38)
#define ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED (WINHTTP_ERROR_BASE + 44)
#define ERROR_WINHTTP_SECURE_INVALID_CA (WINHTTP_ERROR_BASE + 45)
#define ERROR_WINHTTP_SECURE_CERT_REV_FAILED (WINHTTP_ERROR_BASE + 57)
#define ERROR_WINHTTP_HEADER_NOT_FOUND (WINHTTP_ERROR_BASE + 150)
#define ERROR_WINHTTP_INVALID_SERVER_RESPONSE (WINHTTP_ERROR_BASE + 152)
#define ERROR_WINHTTP_REDIRECT_FAILED (WINHTTP_ERROR_BASE + 156)
#define ERROR_WINHTTP_SECURE_CHANNEL_ERROR (WINHTTP_ERROR_BASE + 157)
#define ERROR_WINHTTP_SECURE_FAILURE (WINHTTP_ERROR_BASE + 175)

#define WINHTTP_ACCESS_TYPE_DEFAULT_PROXY 0
#define WINHTTP_ACCESS_TYPE_NAMED_PROXY 3
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#define WINHTTP_ADDREQ_FLAG_ADD 0x20000000
#define WINHTTP_DISABLE_REDIRECTS 0x00000002
#define WINHTTP_FLAG_SECURE 0x00800000
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 0x00000800
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr
#define WINHTTP_NO_OUTPUT_BUFFER nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7
#define WINHTTP_OPTION_DISABLE_FEATURE 63
#define WINHTTP_OPTION_SECURE_PROTOCOLS 84
#define WINHTTP_QUERY_CONTENT_LENGTH 5
#define WINHTTP_QUERY_STATUS_CODE 19
#define WINHTTP_QUERY_LOCATION 33
#define WINHTTP_QUERY_CONTENT_RANGE 53
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000

BOOL WinHttpCloseHandle(HINTERNET handle);
HINTERNET WinHttpOpen(const wchar_t* agent, DWORD accessType, const wchar_t* proxy,
                      const wchar_t* bypass, DWORD flags);
HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* server, INTERNET_PORT port,
                         DWORD reserved);
HINTERNET WinHttpOpenRequest(HINTERNET connection, const wchar_t* verb, const wchar_t* object,
                             const wchar_t* version, const wchar_t* referrer,
                             const wchar_t** acceptTypes, DWORD flags);
BOOL WinHttpSetOption(HINTERNET handle, DWORD option, void* buffer, DWORD length);
BOOL WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive);
BOOL WinHttpAddRequestHeaders(HINTERNET request, const wchar_t* headers, DWORD length,
                              DWORD modifiers);
BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                        void* optional, DWORD optionalLength, DWORD totalLength,
                        DWORD_PTR context);
BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved);
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, const wchar_t* name, void* buffer,
                         DWORD* length, DWORD* index);
BOOL WinHttpQueryDataAvailable(HINTERNET request, DWORD* available);
BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD toRead, DWORD* read);
