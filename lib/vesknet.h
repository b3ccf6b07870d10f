/* vesknet.h: the client library of the vesk link multiplexer.
 *
 * Every name declared here is exported with C linkage; everything else in
 * libvesknet is hidden.  Unless a comment says otherwise a function returns a
 * non-negative value on success and -1 on failure, and the connect, option and
 * command functions leave their reason in command_result (never printed by the
 * library itself).
 */
#ifndef VESKNET_H
#define VESKNET_H

#include <stdint.h>
#include <sys/cdefs.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netdb.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VESK_API __attribute__((visibility("default")))

/* ---- Process-wide state (client module) ---------------------------------- */

VESK_API extern char *vesk_server;    /* socket suffix, "" by default (-t, VESKSERVER) */
VESK_API extern int lcompression;     /* local compression setting; < 0: none sent */
VESK_API extern int rcompression;     /* remote compression setting; < 0: none sent */
VESK_API extern int verbose;          /* verbosity count, raised by -v */
VESK_API extern int priority;         /* link priority; 0: none sent */
VESK_API extern char *command_result; /* com_result + 3 once any call has run */
VESK_API extern int savedeid;         /* effective id to regain in shared mode; < 0: none */
VESK_API extern unsigned long remote_vesk_version; /* 0 until the handshake */
VESK_API extern unsigned int vesk_remoteuser;      /* user number from the handshake */
VESK_API extern unsigned long vesk_localaddr;      /* local IPv4 address, see get_vesk_localaddr */
VESK_API extern unsigned long vesk_remoteaddr;     /* remote IPv4 address, host byte order */
VESK_API extern char com_result[1024];             /* last reply or the library's own text */
VESK_API extern char vesk_remotehost[256];         /* remote host name, NUL-terminated */
VESK_API extern char vesk_localhost[256];          /* local host name, NUL-terminated */

/* ---- Core state ------------------------------------------------------------ */

VESK_API extern int share;      /* -1 undecided, 0 private (initial), 1 by group id, 2 by user id */
VESK_API extern int veskerrno;  /* after a buffer call that moved nothing: nonzero = finished */
VESK_API extern int vesk_debug; /* debug level, from VESKDEBUG */

/* ---- Option scanner state -------------------------------------------------- */

VESK_API extern int vesk_opterr;   /* nonzero (initial 1): print the scanner's two messages */
VESK_API extern int vesk_optind;   /* next argument to scan (initial 1) */
VESK_API extern int vesk_optopt;   /* option character examined last */
VESK_API extern char *vesk_optarg; /* argument of the last option that takes one, or null */

/* ---- Connection (client module) -------------------------------------------- */

/* Connects to the local link server (share-mode fallback when share is -1),
 * runs the version handshake on the first success of the process and sends the
 * compression and priority settings.  fd is -1 or a socket of the caller's,
 * which is replaced on the same descriptor number.  Returns the connected
 * descriptor, or -1 with the reason in command_result; a server that refuses
 * the handshake and hangs up (its link is down) fails it with its reason. */
VESK_API int socket_connect_server(int fd, const char *suffix);

/* socket_connect_server(-1, suffix), but ends the process with status 1 and
 * no message when no attempt succeeds. */
VESK_API int connect_server(const char *suffix);

/* Sends one request (code, local flag, printf-style argument text; null format:
 * empty text) and reads its reply when the code has one.  Returns 1 on success,
 * 0 when answered locally or dropped, -1 when refused or the server reported
 * failure (an argument text over 1020 bytes is refused without sending; the
 * text ends at its first NUL, as the server reads it), -2
 * when the socket failed.  The text is in command_result in every case. */
VESK_API int send_command(int fd, int code, int local, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* ---- Options (client module) ------------------------------------------------ */

/* Parses the common options "t:crp:S:" plus the program's letters, passing the
 * program's own letters to callback (which returns -1 to refuse).  Returns the
 * index of the first non-option argument, or -1 with the reason in
 * command_result. */
VESK_API int client_options(int argc, char **argv, const char *letters,
                            int (*callback)(int option, char *argument));

/* Passes the share mode to the core library and returns (computed once per
 * process from VESKMODE and the vesknet marker files) 1 or 0. */
VESK_API int use_vesk_command(int flag);

/* Packs a null-terminated list into one string, each entry followed by 0xFF,
 * with an optional leading TERM entry.  The string lives until the next call.
 * Returns null for an empty list or when memory runs out. */
VESK_API char *build_arg(char **args);

/* ---- Small services --------------------------------------------------------- */

/* Classic single-character option scanner.  Returns the option character, '?'
 * for an unknown option or a missing argument, -1 at the end of the options. */
VESK_API int vesk_getopt(int argc, char *const *argv, const char *letters);

/* Sets one environment variable from "name=value", copying the strings.
 * Returns 0, 1 when the text has no '=' or cannot be copied, -1 when the
 * environment cannot grow (it is then left as it was). */
VESK_API int vesk_putenv(const char *text);

/* Returns the resolver error text for code, in a static buffer overwritten by
 * every call. */
VESK_API char *vesk_strherror(int code);

/* Prints "prefix: text\n" for the current h_errno on standard error. */
VESK_API void vesk_herror(const char *prefix);

/* Relays between a two-way descriptor and an input/output pair until both
 * directions have ended; closes only the two-way descriptor.  Returns 0. */
VESK_API int do_select_loop(int twoway, int input, int output);

/* ---- Core services ----------------------------------------------------------- */

/* Connects a Unix-domain stream socket to path.  fd is -1 (a new socket is
 * made) or a socket of the caller's of any family, which is replaced by a Unix
 * socket on the same descriptor number.  Returns the connected descriptor, or
 * a negative value with errno set. */
VESK_API int connect_unix(int fd, const char *path);

/* Returns the next candidate base directory in a writable buffer of PATH_MAX
 * bytes that the caller may append to, or null when none is left; *state starts
 * at 0 and stays nonzero while more follow.  Private mode (share 0): $HOME when
 * set and not empty, else the home directory of the user's passwd entry; one
 * candidate.  Other modes: $HOME, the passwd entry's home, then "" (so that
 * shared mode finds /tmp/private{suffix}/socket). */
VESK_API char *get_vesk_path(int *state);

/* Sets share to mode and savedeid to the id to regain (-1 when none); first is
 * 1 only from use_vesk_command with its flag set.  Returns 0. */
VESK_API int set_share_mode(int first, int mode);

/* access(2) made with the effective ids.  Returns 0, or negative when denied. */
VESK_API int eaccess(const char *path, int mode) __THROW;

/* Fills vesk_localaddr (host byte order) and vesk_localhost; addr is the
 * fallback address in network byte order (normally 127.0.0.1).  Returns 0. */
VESK_API int get_vesk_localaddr(unsigned long addr);

/* Switch fd to blocking mode; returns 0 if fd was non-blocking before,
 * nonzero otherwise. */
VESK_API int set_block(int fd);
/* Switch fd to non-blocking mode; returns 0, -1 on failure. */
VESK_API int set_nonblock(int fd);

/* Stream buffer.  All zero when new; callers read count and may zero start,
 * end and count to empty it (the storage is kept). */
struct vesk_buff {  /* NOLINT(readability-identifier-naming): a C name */
    uint32_t store; /* storage handle, 0 when none */
    uint32_t start; /* offset of the oldest byte held */
    uint32_t end;   /* offset after the newest byte held */
    uint32_t count; /* bytes held */
    uint32_t size;  /* bytes of storage */
};

/* Appends one byte.  Returns 0, -1 when the buffer is full or memory runs out. */
VESK_API int add_to_buffer(struct vesk_buff *b, int byte);
/* Takes the oldest byte.  Returns it (0..255), or -1 when the buffer is empty. */
VESK_API int get_from_buffer(struct vesk_buff *b);

/* Appends at most max bytes (0: what one read gives) read from fd.  Returns the
 * count (> 0); 0 with veskerrno nonzero at end of file, 0 with veskerrno 0 when
 * nothing is there yet (or the buffer is full); -1 with veskerrno = errno on a
 * read error. */
VESK_API int read_into_buff(int fd, struct vesk_buff *b, int max);

/* Writes from the front of the buffer (at most max bytes, 0: all held) and
 * drops what went, retrying partial writes until done or the descriptor would
 * block.  Returns the count; a result below 1 with veskerrno nonzero means fd
 * is finished. */
VESK_API int write_from_buff(int fd, struct vesk_buff *b, int max);
/* As write_from_buff, but one write that never blocks. */
VESK_API int write_from_buff_async(int fd, struct vesk_buff *b, int max);

/* CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final xor)
 * of the first len bytes of the file (len 0: the whole file).  Returns 0 when
 * the file cannot be read or is shorter than len. */
VESK_API unsigned int file_crc(const char *path, long len);

/* The local address that forwarded ports listen on: 127.0.0.1, so that only
 * this machine reaches them, unless the environment variable VESKBIND names
 * another address of this machine (dotted IPv4; 0.0.0.0 is every address; an
 * empty value counts as unset).  Returns 0 with the address in *addr, or -1
 * with the reason, which names VESKBIND, in command_result and errno set
 * (EINVAL for text that is no address). */
VESK_API int vesk_bind_address(struct in_addr *addr);

/* Listening TCP socket on port (host order) of the address vesk_bind_address
 * gives, with SO_REUSEADDR.  Returns the descriptor, -2 when the port is in
 * use, -1 on any other failure (a bad VESKBIND included). */
VESK_API int bind_tcp_listen(int port, int backlog);

/* Serves n listeners: for every accepted connection calls callback(index,
 * peer) (peer's address in network order, its port in host order) and relays
 * the connection against the descriptor the callback returns (-1: drop the
 * connection).  Passes half-closes on.  Returns 0 when every listener has
 * failed, -1 on a setup failure. */
VESK_API int do_connect(int n, int *fds, int (*callback)(int index, struct sockaddr_in *peer));

/* "a.b.c.d:port" for addr (address in network order, port in host order) in a
 * static buffer overwritten by every call; flags must be 0. */
VESK_API char *sockaddr_to_str(struct sockaddr_in *addr, int flags);

/* Resolves name on the far machine through the link.  Returns a static host
 * entry (overwritten by every call), or null with h_errno set. */
VESK_API struct hostent *vesk_gethostbyname(const char *name);

/* A TCP socket tunnelled through the link: a fresh link-server connection.
 * Only AF_INET / SOCK_STREAM.  Returns the descriptor, or -1. */
VESK_API int vesk_socket(int family, int type, int protocol);
/* Asks the far server to connect to addr (a sockaddr_in, port in network
 * order), after which fd is a plain byte stream.  Returns 0, or -1. */
VESK_API int vesk_connect(int fd, const struct sockaddr *addr, socklen_t len);
/* Closes any descriptor.  Returns close's result. */
VESK_API int vesk_close(int fd);
/* Prints "text: reason\n" on standard error for the last failure of the calls
 * above (the link server's reply text or the system's error text). */
VESK_API void vesk_perror(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* VESKNET_H */
