// Line input with editing and a 512-byte history, and password input.
#include <cstring>

#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Entries one after another, each ended by a carriage return, oldest first.
char hstart[kHistorySize];
int hend = 0;

constexpr uint8_t kHome = 1, kLeft = 2, kDelete = 4, kEnd = 5, kRight = 6, kBackspace = 8,
                  kDown = 14, kEnter = 13, kUp = 16;

void PrintRange(const char* from, int count) {
    char text[257];
    while (count > 0) {
        int n = count < 256 ? count : 256;
        std::memcpy(text, from, size_t(n));
        text[n] = 0;
        PrintString(text);
        from += n;
        count -= n;
    }
}

void StoreHistory(const char* line, int length) {
    if (length == 0) return; // an empty line is not worth recalling
    while (length + hend + 1 > kHistorySize && hend > 0) {
        char* cr = static_cast<char*>(std::memchr(hstart, '\r', size_t(hend)));
        int drop = cr ? int(cr - hstart) + 1 : hend;
        std::memmove(hstart, hstart + drop, size_t(hend - drop));
        hend -= drop;
    }
    if (length + hend + 1 > kHistorySize) return;
    std::memcpy(hstart + hend, line, size_t(length));
    hend += length;
    hstart[hend++] = '\r';
}

// Start of the entry that ends just before `pos`.
int PreviousEntry(int pos) {
    int i = pos - 1; // the carriage return of that entry
    while (i > 0 && hstart[i - 1] != '\r')
        --i;
    return i;
}

int NextEntry(int pos) {
    while (pos < hend && hstart[pos] != '\r')
        ++pos;
    return pos < hend ? pos + 1 : hend;
}

struct Editor {
    char* buffer;
    int size;
    int cursor = 0;
    int length = 0;

    void Insert(char c) {
        if (length >= size - 1) return;
        std::memmove(buffer + cursor + 1, buffer + cursor, size_t(length - cursor));
        buffer[cursor] = c;
        ++length;
        PrintRange(buffer + cursor, length - cursor);
        ++cursor;
        PrintBack(length - cursor);
    }

    void Delete() {
        if (cursor >= length) return;
        std::memmove(buffer + cursor, buffer + cursor + 1, size_t(length - cursor - 1));
        --length;
        PrintRange(buffer + cursor, length - cursor);
        PrintString(" ");
        PrintBack(length - cursor + 1);
    }

    // Replaces the line by the history entry that starts at `pos`.
    void Recall(int pos) {
        PrintRange(buffer + cursor, length - cursor);
        ClearBack(length);
        int n = 0;
        while (pos + n < hend && hstart[pos + n] != '\r' && n < size - 1)
            ++n;
        std::memcpy(buffer, hstart + pos, size_t(n));
        length = cursor = n;
        PrintRange(buffer, n);
    }
};

} // namespace

void ClearHistory() {
    hend = 0;
}

void InputString(char* buffer, int size) {
    if (!buffer || size <= 0) return;
    Editor e{buffer, size};
    int history = hend;
    for (;;) {
        uint8_t key = GetChar();
        switch (key) {
        case 0: break;
        case kHome:
            PrintBack(e.cursor);
            e.cursor = 0;
            break;
        case kLeft:
            if (e.cursor > 0) {
                PrintBack(1);
                --e.cursor;
            }
            break;
        case kEnd:
            PrintRange(buffer + e.cursor, e.length - e.cursor);
            e.cursor = e.length;
            break;
        case kRight:
            if (e.cursor < e.length) {
                PrintRange(buffer + e.cursor, 1);
                ++e.cursor;
            }
            break;
        case kBackspace:
            if (e.cursor > 0) {
                PrintBack(1);
                --e.cursor;
                e.Delete();
            }
            break;
        case kDelete: e.Delete(); break;
        case kUp:
            if (history > 0) {
                history = PreviousEntry(history);
                e.Recall(history);
            }
            break;
        case kDown:
            if (history < hend) {
                history = NextEntry(history);
                e.Recall(history);
            }
            break;
        case kEnter:
            buffer[e.length] = 0;
            PrintString("\r\n");
            StoreHistory(buffer, e.length);
            return;
        default: e.Insert(char(key)); break;
        }
    }
}

void InputPasswd(char* buffer, int size) {
    if (!buffer || size <= 0) return;
    int length = 0;
    for (;;) {
        uint8_t key = GetChar();
        if (key == kEnter) break;
        if (key == kBackspace) {
            if (length > 0) {
                --length;
                PrintString("\b \b");
            }
        } else if (key >= 32 && length < size - 1) {
            buffer[length++] = char(key);
            PrintString("*");
        }
    }
    buffer[length] = 0;
    PrintString("\r\n");
}

} // namespace vk
