// byte_queue.h - a first-in first-out queue of bytes: pushed at the back,
// dropped from the front by moving a head index, so taking a few bytes off
// a long queue copies nothing. An emptied queue starts again at its front,
// and one that never empties sheds its taken front once that is the larger
// part, so its memory follows what it holds, not what passed through it.
#ifndef KESTREL_BYTE_QUEUE_H
#define KESTREL_BYTE_QUEUE_H

#include <cstddef>
#include <string>

struct byte_queue {
    std::string bytes; // the queue from head on; what comes before is taken
    size_t head;
};

inline size_t bq_size(const byte_queue* q)
{
    return q->bytes.size() - q->head;
}

// The bytes at the front, bq_size of them.
inline const unsigned char* bq_front(const byte_queue* q)
{
    return (const unsigned char*)q->bytes.data() + q->head;
}

inline void bq_push(byte_queue* q, const void* data, size_t n)
{
    q->bytes.append((const char*)data, n);
}

inline void bq_clear(byte_queue* q)
{
    q->bytes.clear();
    q->head = 0;
}

// Below this, a taken front is kept: moving it would cost more than it frees.
static const size_t BQ_SHED_MIN = 65536;

// Drops n bytes (at most bq_size) from the front.
inline void bq_drop(byte_queue* q, size_t n)
{
    q->head += n;
    if (q->head >= q->bytes.size()) {
        bq_clear(q);
    } else if (q->head >= BQ_SHED_MIN && q->head >= bq_size(q)) {
        q->bytes.erase(0, q->head);
        q->head = 0;
    }
}

#endif
