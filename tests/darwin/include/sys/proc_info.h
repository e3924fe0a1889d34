// Mirrors <sys/proc_info.h> of Apple's SDK: the listing kinds, the flavors
// and records of proc_pidinfo that the test support reads.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#define PROC_ALL_PIDS 1
#define PROC_PGRP_ONLY 2
#define PROC_TTY_ONLY 3
#define PROC_UID_ONLY 4
#define PROC_RUID_ONLY 5
#define PROC_PPID_ONLY 6

#define MAXCOMLEN 16 /* max command name remembered */

struct proc_bsdinfo {
  uint32_t pbi_flags; /* 64bit; emulated etc */
  uint32_t pbi_status;
  uint32_t pbi_xstatus;
  uint32_t pbi_pid;
  uint32_t pbi_ppid;
  uid_t pbi_uid;
  gid_t pbi_gid;
  uid_t pbi_ruid;
  gid_t pbi_rgid;
  uid_t pbi_svuid;
  gid_t pbi_svgid;
  uint32_t rfu_1; /* reserved */
  char pbi_comm[MAXCOMLEN];
  char pbi_name[2 * MAXCOMLEN]; /* empty if no name is registered */
  uint32_t pbi_nfiles;
  uint32_t pbi_pgid;
  uint32_t pbi_pjobc;
  uint32_t e_tdev;  /* controlling tty dev */
  uint32_t e_tpgid; /* tty process group id */
  int32_t pbi_nice;
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};

struct proc_fdinfo {
  int32_t proc_fd;
  uint32_t proc_fdtype;
};

/* Flavors for proc_pidinfo() */
#define PROC_PIDLISTFDS 1
#define PROC_PIDLISTFD_SIZE (sizeof(struct proc_fdinfo))
#define PROC_PIDTASKALLINFO 2
#define PROC_PIDTBSDINFO 3
#define PROC_PIDTBSDINFO_SIZE (sizeof(struct proc_bsdinfo))

/* 4 * MAXPATHLEN, which is 1024 on macOS */
#define PROC_PIDPATHINFO_SIZE 1024
#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)
