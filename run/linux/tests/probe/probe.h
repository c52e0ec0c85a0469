/* The scenarios of nq_probe, one a group of socket calls for a test to
 * trace. Each runs as the program's main would, its arguments from its own
 * name on: argv[0] is the scenario's name, argv[1] its first argument. */
#ifndef NQ_PROBE_H
#define NQ_PROBE_H

int AttachEcho(int argc, char **argv);    /* attach.c */
int AttachPause(int argc, char **argv);   /* attach.c */
int ErrnoSeen(int argc, char **argv);     /* errno_seen.c */
int EveryCall(int argc, char **argv);     /* every_call.c */
int Exchange(int argc, char **argv);      /* exchange.c */
int FortifiedRecv(int argc, char **argv); /* fortified_recv.c */
int HostileCalls(int argc, char **argv);  /* hostile_calls.c */
int Processes(int argc, char **argv);     /* processes.c */
int ShortAddress(int argc, char **argv);  /* short_address.c */

#endif
