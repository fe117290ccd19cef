// Counted strings and GUIDs of the run-time library. ANSI text is taken as Latin-1, one byte per
// character, like the platform's default code page for the characters in use.
#include <algorithm>
#include <cstdio>

#include "internal.h"

namespace kernel {
namespace {

constexpr ULONG kStringTag = detail::MakeTag("Strg");
constexpr std::size_t kMaxCountedBytes = 0xFFFE;

WCHAR Upcase(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

}  // namespace

std::string ToUtf8(PCUNICODE_STRING text) {
    std::string out;
    if (!text || !text->Buffer) return out;
    std::size_t n = text->Length / sizeof(WCHAR);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t c = text->Buffer[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && text->Buffer[i + 1] >= 0xDC00 && text->Buffer[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text->Buffer[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c;
        std::size_t extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else {
            c = b & 0x07;
            extra = 3;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < text.size(); ++k, ++i)
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace kernel

using namespace kernel;

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    std::size_t n = 0;
    if (SourceString)
        while (SourceString[n]) ++n;
    std::size_t bytes = std::min(n * sizeof(WCHAR), kMaxCountedBytes - 1);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? bytes + sizeof(WCHAR) : 0);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    std::size_t n = SourceString ? std::strlen(SourceString) : 0;
    n = std::min(n, kMaxCountedBytes);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? n + 1 : 0);
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t bytes = SourceString->Length * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(
            detail::Allocate(PagedPool, bytes + sizeof(WCHAR), kStringTag, "RtlAnsiStringToUnicodeString"));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (DestinationString->MaximumLength >= bytes + sizeof(WCHAR)) DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t n = SourceString->Length / sizeof(WCHAR);
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PCHAR>(detail::Allocate(PagedPool, n + 1, kStringTag, "RtlUnicodeStringToAnsiString"));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
    } else if (DestinationString->MaximumLength < n) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x100 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Length = static_cast<USHORT>(n);
    if (DestinationString->MaximumLength > n) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    *UnicodeString = UNICODE_STRING{};
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
    *AnsiString = ANSI_STRING{};
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    std::size_t total = std::size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<PCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::size_t n1 = String1->Length / sizeof(WCHAR);
    std::size_t n2 = String2->Length / sizeof(WCHAR);
    for (std::size_t i = 0; i < std::min(n1, n2); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) return a < b ? -1 : 1;
    }
    return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
                  Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                  Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    return RtlAnsiStringToUnicodeString(GuidString, &ansi, TRUE);
}

BOOLEAN IsEqualGUID(REFGUID Guid1, REFGUID Guid2) { return std::memcmp(&Guid1, &Guid2, sizeof(GUID)) == 0; }
