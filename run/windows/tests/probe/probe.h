/* The scenarios of nq_ws2_probe, each the socket calls of one case for a
 * test to trace. Each runs as the program's main would, its arguments from
 * its own name on: argv[0] is the scenario's name, argv[1] its first
 * argument. */
#ifndef NQ_WS2_PROBE_H
#define NQ_WS2_PROBE_H

int EchoServer(int argc, char **argv);      /* echo.c */
int ModernCalls(int argc, char **argv);     /* modern.c */
int ProgramStart(int argc, char **argv);    /* start.c */
int StreamDatagrams(int argc, char **argv); /* stream.c */

/* The modern scenario's servers of many connections (servers.c): each
 * prints how many of its streams arrived whole and returns the probe's exit
 * code. */
int CompletionPortServer(void);
int ThreadPoolServer(void);
int BoundServer(void);

#endif
