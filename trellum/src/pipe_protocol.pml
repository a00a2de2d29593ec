/*
 * The wait/wake protocol of one pipe, as PipeReceive.cpp, PipeSend.cpp,
 * PipeWaiter.cpp and Channel.cpp implement it (the protocol is written down
 * in Channel.h), for the Spin model checker (trellum/tests/check-pipe-
 * protocol.sh runs it). Three scenarios share the pipe:
 *
 * Receivers (the default). The pipe's mutex and condition variable, its
 * queue, `waiters`, the shut-down state and `shutdownEpoch`, the channel's
 * deleted state and its reference count. Message priorities are not
 * modelled: the order of the queue does not take part in who wakes whom.
 * Processes: two receivers that block without limit and one that gives up
 * at a deadline (which may have passed before it starts: a timeout of 0), a
 * producer adding NMSG messages to an unbounded pipe, a controller that
 * shuts the pipe down and starts it up in any order, and a deleter that
 * deletes the channel or not.
 *
 * Senders (-DSENDERS). A bounded pipe, full at the start, with its second
 * condition variable `room` and `senders`. Processes: a sender that waits
 * without limit, one that gives up at a deadline or when its PipeWaiter is
 * cancelled (waiting with or without a limit), a receiver, a canceller
 * that cancels that waiter at any moment (also while the wait is ending, or
 * after it ended), and the deleter. The pipe holds one message
 * (-DBYTE_LIMIT: two bytes, the messages being of one and two bytes), so a
 * sender may be woken for room that is not enough for it, and one that
 * gives up passes on the wake-up it may have taken. Under today's wake-ups
 * no run needs that hand-off (-DNO_HAND_OFF finds no counterexample): under
 * a message limit a sender gives up only when there is no room, and under a
 * byte limit every sender is woken. It stays, for one test on a path that
 * gives up, so that no future signal to one sender dies with a leaver. The
 * canceller holds no reference to the channel: what keeps the lock it takes
 * alive is the wait's exit, which lets running cancels finish first.
 *
 * Inbox (-DINBOX). The receivers scenario with the add path that does not
 * wait for a busy mutex. The pipe's `attention` word is `waiters` and the
 * DELETED flag (`deleted`, raised under the mutex here); WATCHED and
 * BOUNDED, raised and then drained alike, are not modelled. The producer
 * looks at `attention` and at whether the mutex seems held; when attention
 * is clear and the mutex seems held, it pushes its message onto the pipe's
 * `inbox`, a stack, then looks at `attention` again, and drains the inbox
 * under the mutex itself if it is raised; otherwise it takes the mutex. Every lock holder drains the inbox into the queue, oldest first,
 * before it looks at the queue; a receiver about to block counts itself in
 * `attention` and drains once more before it waits; the deleter raises
 * DELETED, then drains, freeing what it finds. The messages are of one
 * priority, so the queue keeps the order they are linked in. Taking the
 * mutex is a step of its own here, so that an adder can find it busy. The
 * first look (attention, and the mutex's lock word, a hint that may be
 * stale) is relaxed and only chooses the path, so the model lets it see
 * anything: the push may follow whether or not the mutex is held, and the
 * locked path drains and looks at DELETED under the mutex. The controller runs one shutdown or
 * startup, which keeps the search near the receivers scenario's size.
 *
 * Each process that uses the channel holds a reference while it does; the
 * registry holds one until the delete is done.
 *
 * A condition variable behaves as the C library's may: a signal wakes one
 * of the threads waiting at that moment (none if none is), a broadcast wakes
 * every one of them, a wait may return for no reason at all (at most
 * SPURIOUS times in a run, so that a wake-up that never comes cannot be
 * excused by one that might), a timed wait may return once its deadline has
 * passed, and a woken thread must take the mutex again before it goes on.
 *
 * Checked, besides Spin's own checks (assertions, no thread stuck on the
 * mutex, no array index out of bounds):
 *  - no message is taken twice, or taken from an empty queue;
 *  - in every final state, no receiver is blocked while a message is queued
 *    and the pipe runs, and none is still blocked that was inside its
 *    receive when a shutdown or the delete happened (the ghost variable
 *    `eventSeen`, set by the model, not by the protocol);
 *  - in every final state, no sender is blocked while there is room for its
 *    message or the channel is deleted, and none with a cancel pending;
 *  - every message ends taken, queued, freed by the delete or by an add
 *    that came after it, or still its sender's when the send failed: none
 *    is lost, none is both queued and returned;
 *  - when the last reference goes, no one waits, nobody holds the mutex and
 *    nothing is queued; nobody touches the channel after that, a cancel
 *    included;
 *  - with INBOX, a message in the inbox counts as queued (no receiver stays
 *    blocked while one sits there, none is left there in a deleted pipe or
 *    when the last reference goes), and the producer's messages are taken
 *    in the order it added them (the ghost `lastTaken`).
 * All processes are finite, so a thread that would wait forever shows up
 * as a final state in which it waits.
 *
 * Broken variants, each of which must give a counterexample:
 *  -DSIGNAL_AT_SHUTDOWN  a shutdown signals instead of broadcasting
 *  -DIF_NOT_WHILE        a woken receiver does not test again before taking
 *  -DPLAIN_FLAG          receivers look at the shut-down state only, with no
 *                        epoch, so a startup can hide a shutdown from them
 * and with -DSENDERS:
 *  -DDELETE_SIGNALS_ONE  a deletion signals `room` instead of broadcasting
 *  -DCANCEL_SIGNALS_ONE  a cancel signals its waiter's condition, so the
 *                        wake-up may go to another waiter
 *  -DNO_CANCEL_WAIT      a wait's exit does not let running cancels finish:
 *                        a cancel may lock the mutex of a freed channel
 *  -DBYTE_LIMIT -DSIGNAL_FOR_BYTES  a receive under a byte limit wakes one
 *                        sender, which may need more room than was made
 * and with -DINBOX:
 *  -DPUSH_AFTER_LOOK     an adder looks at `attention` before its push is
 *                        visible: a receiver that counts itself and drains
 *                        in between, or a deletion, misses the message, and
 *                        the adder leaves it in the inbox
 *  -DDRAIN_NEWEST_FIRST  the drain links the inbox newest first
 *  -DTRUSTS_FIRST_LOOK   an adder that took the mutex links its message
 *                        without looking at DELETED again: a deletion
 *                        between its first look and its lock leaves the
 *                        message queued in the deleted pipe
 */

#define NRECV 3         /* receivers 0 and 1 block without limit, 2 is timed */
#define TIMED_RECEIVER 2
#define NSEND 2         /* sender 0 blocks without limit, 1 gives up */
#define GIVING_UP 1
#ifdef SENDERS
#define RECEIVERS 1     /* receiver 0 only */
#ifdef BYTE_LIMIT
#define PREFILLED 2     /* of one byte each: the pipe is full */
#else
#define PREFILLED 1
#endif
#define NMSG (PREFILLED + NSEND)   /* then one message of each sender */
#else
#define RECEIVERS NRECV
#define NMSG 2
#endif
#ifndef SPURIOUS
#define SPURIOUS 1
#endif
#ifndef CONTROL_OPS
#ifdef INBOX
#define CONTROL_OPS 1       /* a shutdown or a startup */
#else
#define CONTROL_OPS 2       /* shutdowns and startups, in any order */
#endif
#endif

mtype = { PENDING, RECEIVED, ADDED, SHUT_DOWN, DELETED, TIMED_OUT, CANCELLED };

/* message states (ghost) */
#define UNSENT 0
#define QUEUED 1
#define TAKEN 2
#define FREED 3

/* ---- the pipe ---------------------------------------------------------------- */
bool locked;
byte queue[NMSG];       /* message numbers 1..NMSG; FIFO from head */
byte head;
byte tail;
byte count;
byte waiters;
bool shutdownFlag;      /* the state: shut down (deleted wins over it) */
byte shutdownEpoch;
bool deleted;           /* the state: deleted */
byte bytes;             /* body bytes queued */
byte senders;
/*
 * INBOX: the stack of messages pushed by adders that found the mutex busy,
 * the oldest at 0. `attention` is no variable of its own: its count is
 * `waiters`, and its only flag that this model raises is DELETED, which is
 * `deleted` (raised under the mutex there).
 */
byte inbox[NMSG];
byte inboxTop;
byte drainAt;           /* the drain's cursor, 0 outside a drain */
#define ATTENTION (waiters > 0 || deleted)

/* ---- the channel's memory ---------------------------------------------------- */
byte refs;              /* set by init: one per process that uses it, and the registry's */
bool freed;

/* ---- the condition variables ------------------------------------------------- */
bool inWait[NRECV];     /* on `condition`, waiting and not yet woken */
bool inRoomWait[NSEND]; /* on `room` */
byte spuriousLeft = SPURIOUS;
bool deadlinePassed;    /* of the timed receiver */

/* ---- the PipeWaiter of the sender that gives up -------------------------------- */
bool cancelled;
byte cancelsRunning;
bool waitsOnRoom;       /* its `mutex`: NULL, or the pipe's (waiting on `room`) */

/* ---- ghosts ------------------------------------------------------------------ */
byte msgState[NMSG + 1];
bool inReceive[NRECV];  /* between the first test and the return */
bool eventSeen[NRECV];  /* a shutdown or the delete happened meanwhile */
mtype result[NRECV] = PENDING;
mtype sent[NSEND] = PENDING;
byte lastTaken;         /* INBOX: one producer adds 1..NMSG in order */

/* A pipe holding no message takes any one message. */
#ifdef BYTE_LIMIT
#define SIZE_OF(m) ((m) == NMSG -> 2 : 1)   /* the giving-up sender's needs two bytes */
#define HAS_ROOM_FOR(b) (count == 0 || bytes + (b) <= 2)
#else
#define SIZE_OF(m) 1
#define HAS_ROOM_FOR(b) (count < 1)
#endif

inline lock() {
    atomic { !locked -> locked = 1 };
    assert(!freed)
}

inline unlock() {
    locked = 0
}

/*
 * Taking the mutex before a locked section. Under INBOX it is a step of its
 * own, so that an adder may find the mutex busy; elsewhere it is the first
 * statement of the section, which is one step.
 */
#ifdef INBOX
#define LOCK_APART atomic { !locked -> locked = 1; assert(!freed) };
#define LOCK_WITHIN
#define DRAIN drain();
#else
#define LOCK_APART
#define LOCK_WITHIN lock();
#define DRAIN
#endif

inline signalOne() {
    if
    :: inWait[0] -> inWait[0] = 0
    :: inWait[1] -> inWait[1] = 0
    :: inWait[2] -> inWait[2] = 0
    :: else -> skip
    fi
}

inline broadcast() {
    inWait[0] = 0;
    inWait[1] = 0;
    inWait[2] = 0
}

inline signalRoom() {
    if
    :: inRoomWait[0] -> inRoomWait[0] = 0
    :: inRoomWait[1] -> inRoomWait[1] = 0
    :: else -> skip
    fi
}

inline broadcastRoom() {
    inRoomWait[0] = 0;
    inRoomWait[1] = 0
}

/* roomMade of PipeQueue.h after one message was taken */
inline roomMade() {
    if
    :: senders > 0 ->
#if defined(BYTE_LIMIT) && !defined(SIGNAL_FOR_BYTES)
        broadcastRoom()
#else
        signalRoom()
#endif
    :: else -> skip
    fi
}

inline markEvent() {
    eventSeen[0] = eventSeen[0] || inReceive[0];
    eventSeen[1] = eventSeen[1] || inReceive[1];
    eventSeen[2] = eventSeen[2] || inReceive[2]
}

inline link(m) {
    queue[tail] = m;
    tail++;
    count++;
    bytes = bytes + SIZE_OF(m);
    msgState[m] = QUEUED
}

/*
 * A message that a lock holder links, its own or one from the inbox: a
 * deleted pipe frees it instead; otherwise it wakes one receiver if any is
 * blocked.
 */
inline linkOrFree(m) {
    if
    :: deleted -> msgState[m] = FREED
    :: else ->
        link(m);
        if
        :: waiters > 0 -> signalOne()
        :: else -> skip
        fi
    fi
}

/*
 * Takes the whole inbox and links what it held in the order it was pushed
 * (the stack holds it newest first). Every lock holder does so before it
 * looks at the queue, in the step that looks.
 */
inline drain() {
#ifdef DRAIN_NEWEST_FIRST
    drainAt = inboxTop;
    do
    :: drainAt > 0 -> drainAt--; linkOrFree(inbox[drainAt]); inbox[drainAt] = 0
    :: else -> break
    od;
#else
    do
    :: drainAt < inboxTop -> linkOrFree(inbox[drainAt]); inbox[drainAt] = 0; drainAt++
    :: else -> break
    od;
    drainAt = 0;
#endif
    inboxTop = 0
}

/* Drops one reference; the last one frees the channel. */
inline release() {
    atomic {
        refs--;
        if
        :: refs == 0 ->
            assert(!locked);
            assert(!inWait[0] && !inWait[1] && !inWait[2]);
            assert(!inRoomWait[0] && !inRoomWait[1]);
            assert(!inReceive[0] && !inReceive[1] && !inReceive[2]);
            assert(count == 0);
#ifdef INBOX
            assert(inboxTop == 0);
#endif
            freed = 1
        :: else -> skip
        fi
    }
}

#ifdef PLAIN_FLAG
#define SHUT_DOWN_MEANWHILE (shutdownFlag)
#else
#define SHUT_DOWN_MEANWHILE (shutdownEpoch != epoch0)
#endif

#ifdef IF_NOT_WHILE
#define MAY_TAKE (count > 0 || waited)
#else
#define MAY_TAKE (count > 0)
#endif

/*
 * A receive, blocking (timed == 0) or timed. The steps between taking the
 * mutex and releasing it (by unlocking or by entering the wait) are atomic:
 * nothing else that the mutex guards can happen in between.
 */
inline testOrWait() {
    if
    :: deleted -> result[i] = DELETED; done = 1
    :: !deleted && SHUT_DOWN_MEANWHILE -> result[i] = SHUT_DOWN; done = 1
    :: !deleted && !SHUT_DOWN_MEANWHILE && MAY_TAKE ->
        assert(count > 0);
        m = queue[head];
        assert(msgState[m] == QUEUED);
        msgState[m] = TAKEN;
#ifdef INBOX
        assert(m > lastTaken);      /* in the order added */
        lastTaken = m;
#endif
        bytes = bytes - SIZE_OF(m);
        m = 0;
        head++;
        count--;
        roomMade();
        result[i] = RECEIVED;
        done = 1
    :: !deleted && !SHUT_DOWN_MEANWHILE && !MAY_TAKE && timed && deadlinePassed ->
        result[i] = TIMED_OUT;
        done = 1
    :: !deleted && !SHUT_DOWN_MEANWHILE && !MAY_TAKE && !(timed && deadlinePassed) ->
#ifdef INBOX
        blocking = 1                /* counts itself and looks again first */
#else
        waiters++;
        inWait[i] = 1               /* the wait releases the mutex below */
#endif
    fi;
    if
    :: done -> inReceive[i] = 0
    :: else -> skip
    fi;
#ifdef INBOX
    if
    :: !blocking -> unlock()
    :: else -> skip
    fi
#else
    unlock()
#endif
}

proctype Receiver(byte i; bool timed) {
    byte epoch0;
    byte m;
    bool waited;
    bool done;
#ifdef INBOX
    bool blocking;      /* holds the mutex, about to count itself and wait */
#endif

    if
    :: timed -> if :: deadlinePassed = 1 :: skip fi   /* a timeout of 0 */
    :: else -> skip
    fi;
    LOCK_APART
    atomic {
        LOCK_WITHIN
        DRAIN
        if
        :: deleted -> result[i] = DELETED; done = 1; unlock()
        :: !deleted && shutdownFlag -> result[i] = SHUT_DOWN; done = 1; unlock()
        :: else ->
            epoch0 = shutdownEpoch;
            inReceive[i] = 1;
            testOrWait()
        fi
    }
    do
    :: done -> break
#ifdef INBOX
    :: atomic { blocking -> waiters++ }        /* the count in attention */
        atomic {
            blocking = 0;
            drain();                            /* a push that missed the count */
            if
            :: count > 0 -> waiters--; testOrWait()   /* takes it */
            :: else -> inWait[i] = 1; unlock()        /* the wait releases the mutex */
            fi
        }
#endif
    :: else ->
end_waiting:
        if
        :: atomic {
            !inWait[i] && !locked -> locked = 1;   /* woken, takes the mutex again */
            assert(!freed);
#ifdef INBOX
          }                                         /* see LOCK_APART */
          atomic {
#endif
            waiters--;
            waited = 1;
            DRAIN
            testOrWait()
          }
        :: atomic { inWait[i] && spuriousLeft > 0 -> spuriousLeft--; inWait[i] = 0 }
        :: atomic { inWait[i] && timed -> inWait[i] = 0; deadlinePassed = 1 }
        fi
    od;
    release()
}

#ifdef INBOX
inline push(m) {
    atomic { inbox[inboxTop] = m; inboxTop++; msgState[m] = QUEUED }
}

/* A pusher that finds attention raised drains under the mutex itself. */
inline lockAndDrain() {
    LOCK_APART
    atomic { drain(); unlock() }
}

/*
 * Adds messages 1..NMSG in order, any number of them, to an unbounded pipe.
 * Its first look at attention is relaxed and only chooses the path, so here
 * it may have seen anything: any of the paths below may follow it.
 */
proctype Producer() {
    byte m = 1;
    do
    :: m <= NMSG ->
        if
        :: atomic { !locked -> locked = 1; assert(!freed) };   /* the mutex seemed free: it takes it */
            atomic { drain(); linkOrFree(m); unlock() }
#ifdef TRUSTS_FIRST_LOOK
        :: atomic { !locked -> locked = 1; assert(!freed) };   /* trusting its first look */
            atomic { drain(); link(m); if :: waiters > 0 -> signalOne() :: else -> skip fi; unlock() }
#endif
        :: skip ->                              /* the mutex seemed held */
#ifdef PUSH_AFTER_LOOK
            if
            :: ATTENTION -> push(m); lockAndDrain()
            :: else -> push(m)
            fi
#else
            push(m);
            if
            :: ATTENTION -> lockAndDrain()      /* else the next lock holder links it */
            :: else -> skip
            fi
#endif
        fi;
        m++
    :: break
    od;
    release()
}
#else
/* Adds up to NMSG messages, any number of them, to an unbounded pipe. */
proctype Producer() {
    byte m = 1;
    do
    :: m <= NMSG ->
        atomic {
            lock();
            if
            :: deleted -> msgState[m] = FREED   /* freed, nothing queued */
            :: else ->
                link(m);
                if
                :: waiters > 0 -> signalOne()
                :: else -> skip
                fi
            fi;
            unlock()
        }
        m++
    :: break
    od;
    release()
}
#endif

/*
 * A sender that gives up leaving room behind passes on the wake-up it may
 * have taken (giveUp in PipeSend.cpp).
 */
inline giveUp(status) {
#ifndef NO_HAND_OFF
    if
    :: senders > 0 && HAS_ROOM_FOR(0) -> signalRoom()
    :: else -> skip
    fi;
#endif
    sent[i] = status;
    done = 1
}

/* One pass of send's loop, under the mutex, ending by unlocking or waiting. */
inline sendOrWait() {
    if
    :: deleted -> sent[i] = DELETED; done = 1
    :: !deleted && HAS_ROOM_FOR(SIZE_OF(m)) ->
        link(m);
        if
        :: waiters > 0 -> signalOne()
        :: else -> skip
        fi;
        sent[i] = ADDED;
        done = 1
    :: !deleted && !HAS_ROOM_FOR(SIZE_OF(m)) && timedOut ->
        giveUp(TIMED_OUT)
    :: else ->
        if
        :: i == GIVING_UP ->
            waitsOnRoom = 1;                    /* enterOrCancelled: where it waits, */
            if
            :: cancelled -> cancelled = 0; giveUp(CANCELLED)   /* then the flag */
            :: else -> skip
            fi
        :: else -> skip
        fi;
        if
        :: !done -> senders++; inRoomWait[i] = 1
        :: else -> skip
        fi
    fi;
    unlock()
}

proctype Sender(byte i; byte m) {
    bool done;
    bool timed;         /* the giving-up sender waits with or without a limit */
    bool timedOut;

    if
    :: i == GIVING_UP -> if :: timed = 1 :: skip fi
    :: else -> skip
    fi;
    atomic { lock(); sendOrWait() }
    do
    :: done -> break
    :: else ->
end_waiting:
        if
        :: atomic {
            !inRoomWait[i] && !locked -> locked = 1;
            assert(!freed);
            senders--;
            sendOrWait()
          }
        :: atomic { inRoomWait[i] && spuriousLeft > 0 -> spuriousLeft--; inRoomWait[i] = 0 }
        :: atomic { inRoomWait[i] && timed -> inRoomWait[i] = 0; timedOut = 1 }
        fi
    od;
    /* WaitingScope's end: says it waits nowhere, then lets running cancels finish. */
    if
    :: i == GIVING_UP ->
        waitsOnRoom = 0;
#ifndef NO_CANCEL_WAIT
        cancelsRunning == 0
#endif
    :: else -> skip
    fi;
    release()
}

/* PipeWaiter_cancel of the giving-up sender's waiter; holds no reference. */
proctype Canceller() {
    bool onRoom;
    if :: skip :: goto noCancel fi;
    cancelsRunning++;
    cancelled = 1;
    onRoom = waitsOnRoom;
    if
    :: onRoom ->
        lock();
#ifdef CANCEL_SIGNALS_ONE
        signalRoom();
#else
        broadcastRoom();
#endif
        unlock()
    :: else -> skip
    fi;
    cancelsRunning--;
noCancel:
    skip
}

proctype Controller() {
    byte ops;
    do
    :: ops < CONTROL_OPS ->
        LOCK_APART
        atomic {
            LOCK_WITHIN
            DRAIN
            if
            :: !deleted ->                      /* shutdown */
                shutdownFlag = 1;
                shutdownEpoch++;
                markEvent();
                if
                :: waiters > 0 ->
#ifdef SIGNAL_AT_SHUTDOWN
                    signalOne()
#else
                    broadcast()
#endif
                :: else -> skip
                fi
            :: deleted -> skip
            :: !deleted -> shutdownFlag = 0     /* startup */
            fi;
            unlock()
        }
        ops++
    :: break
    od;
    release()
}

proctype Deleter() {
    if
    ::
#ifdef INBOX
        LOCK_APART
        atomic { deleted = 1; markEvent() } /* raises DELETED in attention */
        atomic {
            drain();                         /* frees it all: a later push sees DELETED */
#else
        deleted = 1;                         /* after unlinking from the registry */
        atomic {
            lock();
            markEvent();
#endif
            do
            :: head < tail -> msgState[queue[head]] = FREED; head++
            :: else -> break
            od;
            count = 0;
            bytes = 0;
            broadcast();
            if
            :: senders > 0 ->
#ifdef DELETE_SIGNALS_ONE
                signalRoom()
#else
                broadcastRoom()
#endif
            :: else -> skip
            fi;
            unlock()
        }
        release()                            /* the registry's reference */
    :: skip                                  /* no delete: the registry keeps it */
    fi
}

/* Runs once nothing else can move: every process has ended or waits. */
proctype Final() {
    byte i;
    byte m;
    timeout ->
    for (i : 0 .. RECEIVERS - 1) {
        assert(!inWait[i] || count == 0);   /* blocked with a message queued */
        assert(!inWait[i] || !eventSeen[i]);/* a shutdown or delete did not release it */
        assert(inWait[i] || result[i] != PENDING);
#ifdef INBOX
        assert(!inWait[i] || inboxTop == 0) /* blocked with a message pushed */
#endif
    }
#ifdef SENDERS
    for (i : 0 .. NSEND - 1) {
        m = PREFILLED + 1 + i;
        /* blocked with room for its message, or on a deleted channel */
        assert(!inRoomWait[i] || !deleted && !HAS_ROOM_FOR(SIZE_OF(m)));
        assert(inRoomWait[i] || sent[i] != PENDING);
        /* queued, taken or freed once added, and only then */
        assert(sent[i] == PENDING || (sent[i] == ADDED) == (msgState[m] != UNSENT))
    }
    assert(!inRoomWait[GIVING_UP] || !cancelled);   /* a cancel did not end its wait */
#endif
    for (m : 1 .. NMSG) {
        assert(msgState[m] != QUEUED || !deleted)
    }
}

init {
    byte i;
    atomic {
#ifdef SENDERS
        for (i : 1 .. PREFILLED) {
            link(i)
        }
        refs = RECEIVERS + NSEND + 1;   /* receiver, senders, registry */
        run Receiver(0, 0);
        run Sender(0, PREFILLED + 1);
        run Sender(GIVING_UP, PREFILLED + 2);
        run Canceller();
#else
        refs = RECEIVERS + 3;   /* receivers, producer, controller, registry */
        run Receiver(0, 0);
        run Receiver(1, 0);
        run Receiver(TIMED_RECEIVER, 1);
        run Producer();
        run Controller();
#endif
        run Deleter();
        run Final()
    }
}
