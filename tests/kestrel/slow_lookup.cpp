// slow_lookup.cpp - preloaded into kestrel by the network tests: the name
// slow.test meets a resolver that does not answer for 30 s; every other
// name is looked up as usual.
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res)
{
    if (node && strcmp(node, "slow.test") == 0) {
        sleep(30);
        return EAI_AGAIN;
    }
    using lookup_fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static lookup_fn real = (lookup_fn)dlsym(RTLD_NEXT, "getaddrinfo");
    return real(node, service, hints, res);
}
