/* The probe's servers of many connections (ws2_servers.c): each prints
 * how many of its streams arrived whole and returns the probe's exit
 * code. */
#ifndef NQ_WS2_SERVERS_H
#define NQ_WS2_SERVERS_H

int CompletionPortServer(void);
int ThreadPoolServer(void);
int BoundServer(void);

#endif
