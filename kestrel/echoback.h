// echoback.h - the echo server: every byte received goes back out.
#ifndef KESTREL_ECHOBACK_H
#define KESTREL_ECHOBACK_H

void EchobackMode(int port, int baud);

#endif
