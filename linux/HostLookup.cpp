// SPDX-License-Identifier: Apache-2.0
// A host-name look-up that gives up at a deadline. getaddrinfo itself waits
// as long as the resolver's own time-outs and retries say (ten seconds and
// more for a name server that never answers), so the look-up runs on the C
// library's resolver thread and the caller waits for it only until the
// deadline. A look-up the caller gave up on may still be running: its record
// then belongs to the completion notice too, and whichever of the two lets go
// last frees it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <signal.h>

#include "ZkPosSo.h"

namespace {

struct Lookup {
    struct gaicb request;
    struct addrinfo hints;
    char* name;
    int owners;
};

void ReleaseLookup(Lookup* lookup) {
    if (__atomic_sub_fetch(&lookup->owners, 1, __ATOMIC_ACQ_REL) != 0) {
        return;
    }
    if (lookup->request.ar_result != nullptr) {
        freeaddrinfo(lookup->request.ar_result);
    }
    free(lookup->name);
    free(lookup);
}

// Runs on a thread of the C library once the look-up has ended.
void LookupEnded(union sigval value) {
    ReleaseLookup(static_cast<Lookup*>(value.sival_ptr));
}

}  // namespace

struct addrinfo* LookUpHost(const char* host, const struct addrinfo& hints,
                            const Deadline& deadline) {
    Lookup* lookup = static_cast<Lookup*>(calloc(1, sizeof(Lookup)));
    if (lookup == nullptr) {
        return nullptr;
    }
    lookup->name = strdup(host);
    lookup->hints = hints;
    lookup->request.ar_name = lookup->name;
    lookup->request.ar_request = &lookup->hints;
    lookup->owners = 2;
    struct sigevent ended;
    memset(&ended, 0, sizeof ended);
    ended.sigev_notify = SIGEV_THREAD;
    ended.sigev_notify_function = LookupEnded;
    ended.sigev_value.sival_ptr = lookup;
    struct gaicb* requests[1] = {&lookup->request};
    if (lookup->name == nullptr || getaddrinfo_a(GAI_NOWAIT, requests, 1, &ended) != 0) {
        lookup->owners = 1;  // no look-up runs, so no notice will come
        ReleaseLookup(lookup);
        return nullptr;
    }

    int status = EAI_INPROGRESS;
    while ((status = gai_error(&lookup->request)) == EAI_INPROGRESS && !DeadlinePassed(deadline)) {
        struct timespec left = TimeLeft(deadline);
        // EAI_AGAIN (time up) and EAI_INTR (a signal) both go round again.
        gai_suspend(requests, 1, deadline.unlimited ? nullptr : &left);
    }
    struct addrinfo* found = nullptr;
    if (status == 0) {
        found = lookup->request.ar_result;
        lookup->request.ar_result = nullptr;
    } else if (status == EAI_INPROGRESS && gai_cancel(&lookup->request) == EAI_CANCELED) {
        // Taken off the queue before it ran: no notice will come for it.
        ReleaseLookup(lookup);
    }
    ReleaseLookup(lookup);
    return found;
}
