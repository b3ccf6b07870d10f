// The library's process-wide variables, in one place so that every module
// agrees on their initial values.
#include "vesknet.h"

char *vesk_server = const_cast<char *>("");
int lcompression = -1;
int rcompression = -1;
int verbose = 0;
int priority = 0;
char *command_result = nullptr;
int savedeid = -1;
unsigned long remote_vesk_version = 0;
unsigned int vesk_remoteuser = 0;
unsigned long vesk_localaddr = 0;
unsigned long vesk_remoteaddr = 0;
char com_result[1024];
char vesk_remotehost[256];
char vesk_localhost[256];

// Private is the safe default: a per-user socket nobody else can reach.
int share = 0;
int veskerrno = 0;
int vesk_debug = 0;

int vesk_opterr = 1;
int vesk_optind = 1;
int vesk_optopt = 0;
char *vesk_optarg = nullptr;
