// vesk_putenv: sets or replaces one environment variable from a "name=value"
// text, growing a private copy of the environment when a new name needs room.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "vesknet.h"

namespace {

// The array the process started with may live outside the heap, so it is
// copied once and only the copy is ever resized.
int alloced = 0;

size_t name_length(const char *name) {
    size_t length = 0;
    while (name[length] != '\0' && name[length] != '=') {
        ++length;
    }
    return length;
}

char *putenv_findenv(const char *name, int *index) {
    size_t length = name_length(name);
    for (int i = 0; environ != nullptr && environ[i] != nullptr; ++i) {
        if (std::strncmp(environ[i], name, length) == 0 && environ[i][length] == '=') {
            *index = i;
            return environ[i] + length + 1;
        }
    }
    return nullptr;
}

int putenv_setenv(const char *name, const char *value, int rewrite) {
    if (*value == '=') {
        ++value;
    }
    size_t value_length = std::strlen(value);
    int index = 0;
    char *old = putenv_findenv(name, &index);
    if (old != nullptr) {
        if (!rewrite) {
            return 0;
        }
        if (std::strlen(old) >= value_length) {
            std::memcpy(old, value, value_length + 1);
            return 0;
        }
    } else {
        int count = 0;
        while (environ != nullptr && environ[count] != nullptr) {
            ++count;
        }
        size_t bytes = sizeof(char *) * (static_cast<size_t>(count) + 2);
        if (alloced) {
            auto *grown = static_cast<char **>(std::realloc(environ, bytes));
            if (grown == nullptr) {
                return -1;
            }
            environ = grown;
        } else {
            auto *copy = static_cast<char **>(std::malloc(bytes));
            if (copy == nullptr) {
                return -1;
            }
            if (count > 0) {
                std::memcpy(copy, environ, sizeof(char *) * static_cast<size_t>(count));
            }
            alloced = 1;
            environ = copy;
        }
        // Terminate at count first: if the entry cannot be made the array
        // still ends where it did and nothing is lost.
        environ[count] = nullptr;
        environ[count + 1] = nullptr;
        index = count;
    }

    size_t length = name_length(name);
    auto *entry = static_cast<char *>(std::malloc(length + value_length + 2));
    if (entry == nullptr) {
        return -1;
    }
    std::memcpy(entry, name, length);
    entry[length] = '=';
    std::memcpy(entry + length + 1, value, value_length + 1);
    // Replaced entries are not freed: they may belong to the initial environment.
    environ[index] = entry;
    return 0;
}

}  // namespace

int vesk_putenv(const char *text) {
    char *copy = strdup(text);
    if (copy == nullptr) {
        return 1;
    }
    char *equals = std::strchr(copy, '=');
    if (equals == nullptr) {
        std::free(copy);
        return 1;
    }
    *equals = '\0';
    int result = putenv_setenv(copy, equals + 1, 1);
    std::free(copy);
    return result;
}
