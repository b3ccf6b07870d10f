/* The floor a transfer can reach with the protocol's own system calls: the
 * client's reads and writes that the transfer programs must make, plus the far
 * end's file write or read, with nothing in between (no link server, no link).
 * bench/compare.sh measures upload and download against it.
 *
 *   bench_protolimit up FILE OUT: read FILE in 4096-byte blocks, write it in
 *       509-byte pieces to a Unix stream socket whose other end (a child) reads
 *       64 KiB at a time and writes it to OUT (upload's data phase).
 *   bench_protolimit down FILE OUT: a child writes FILE into the socket in
 *       64 KiB writes; the parent reads 1024 bytes at a time and writes each
 *       block to OUT (download's data phase at default verbosity).
 *
 * Exit status 0 when the whole file went through, 1 on a failed write, 2 on a
 * usage or open error. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
    kPieceMax = 509,   /* bytes: upload's largest write */
    kFileBlock = 4096, /* bytes: upload's file reads */
    kReadBlock = 1024, /* bytes: download's socket reads at default verbosity */
    kFarChunk = 65536, /* bytes: the far end's reads and writes */
};

static char far_buf[kFarChunk];

/* The far end's copy, in its own chunks: 0 at the end of from, 1 on a short
 * write, 2 when the file could not be opened (a descriptor below 0). */
static int far_copy(int from, int to) {
    if (from < 0 || to < 0) return 2;
    ssize_t n;
    while ((n = read(from, far_buf, sizeof far_buf)) > 0)
        if (write(to, far_buf, (size_t)n) != n) return 1;
    return 0;
}

/* The far end of an upload: socket to file. */
static int far_sink(int sock, const char *out_path) {
    return far_copy(sock, open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
}

/* The far end of a download: file to socket. */
static int far_source(int sock, const char *in_path) {
    return far_copy(open(in_path, O_RDONLY), sock);
}

static int upload(int sock, const char *in_path) {
    int fd = open(in_path, O_RDONLY);
    if (fd < 0) return 2;
    char blk[kFileBlock];
    ssize_t n;
    while ((n = read(fd, blk, sizeof blk)) > 0) {
        for (ssize_t off = 0; off < n;) {
            size_t piece = n - off > kPieceMax ? kPieceMax : (size_t)(n - off);
            ssize_t w = write(sock, blk + off, piece);
            if (w <= 0) return 1;
            off += w;
        }
    }
    return 0;
}

static int download(int sock, const char *out_path) {
    int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return 2;
    char blk[kReadBlock];
    ssize_t n;
    while ((n = read(sock, blk, sizeof blk)) > 0)
        if (write(out, blk, (size_t)n) != n) return 1;
    return 0;
}

int main(int argc, char **argv) {
    int sv[2];
    if (argc != 4 || (strcmp(argv[1], "up") && strcmp(argv[1], "down"))) {
        fprintf(stderr, "usage: bench_protolimit up|down FILE OUT\n");
        return 2;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) < 0) return 2;
    int up = !strcmp(argv[1], "up");
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        close(sv[0]);
        _exit(up ? far_sink(sv[1], argv[3]) : far_source(sv[1], argv[2]));
    }
    close(sv[1]);
    int rc = up ? upload(sv[0], argv[2]) : download(sv[0], argv[3]);
    close(sv[0]);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 1;
    return rc ? rc : WEXITSTATUS(status);
}
