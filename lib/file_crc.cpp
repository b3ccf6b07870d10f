// file_crc: a local file's checksum as the link server reports it, by the
// reader that veskd's replies use too (common/crc.h).
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

#include "crc.h"
#include "vesknet.h"

unsigned int file_crc(const char *path, long len) {
    if (path == nullptr || len < 0) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    vesk::CrcReader reader(len);
    while (!reader.step(fd, SIZE_MAX)) {
    }
    close(fd);
    return reader.value();
}
