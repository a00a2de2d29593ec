/*
 * The wait/wake protocol of one pipe's receivers, as PipeReceive.cpp,
 * PipeSend.cpp and Channel.cpp implement it, for the Spin model checker
 * (trellum/tests/check-pipe-protocol.sh runs it).
 *
 * What is modelled: the pipe's mutex and condition variable, its queue,
 * `waiters`, `shutdownFlag` and `shutdownEpoch`, the channel-wide `deleted`
 * mark and the channel's reference count. Message priorities are not: the
 * order of the queue does not take part in who wakes whom. Nor are senders
 * waiting for room in a bounded pipe (their own condition variable) or
 * cancels through a PipeWaiter; the tests cover those.
 *
 * Processes: two receivers that block without limit and one that gives up
 * at a deadline (which may have passed before it starts: a timeout of 0), a
 * producer adding NMSG messages, a controller that shuts the pipe down and
 * starts it up in any order, and a deleter that deletes the channel or not.
 * Each holds a reference to the channel while it uses it; the registry
 * holds one until the delete is done.
 *
 * The condition variable behaves as the C library's may: a signal wakes one
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
 *  - every message ends taken, queued, or freed by the delete or by an add
 *    that came after it: none is lost;
 *  - when the last reference goes, no receiver waits, nobody holds the
 *    mutex and nothing is queued; nobody touches the channel after that.
 * All processes are finite, so a receiver that would wait forever shows up
 * as a final state in which it waits.
 *
 * Broken variants, each of which must give a counterexample:
 *  -DSIGNAL_AT_SHUTDOWN  a shutdown signals instead of broadcasting
 *  -DIF_NOT_WHILE        a woken receiver does not test again before taking
 *  -DPLAIN_FLAG          receivers look at the shut-down flag only, with no
 *                        epoch, so a startup can hide a shutdown from them
 */

#define NRECV 3         /* receivers 0 and 1 block without limit, 2 is timed */
#define TIMED_RECEIVER 2
#define NMSG 2
#ifndef SPURIOUS
#define SPURIOUS 1
#endif
#ifndef CONTROL_OPS
#define CONTROL_OPS 2       /* shutdowns and startups, in any order */
#endif

mtype = { PENDING, RECEIVED, SHUT_DOWN, DELETED, TIMED_OUT };

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
bool shutdownFlag;
byte shutdownEpoch;
bool deleted;           /* channel-wide */

/* ---- the channel's memory ---------------------------------------------------- */
byte refs = NRECV + 3;  /* receivers, producer, controller, registry */
bool freed;

/* ---- the condition variable -------------------------------------------------- */
bool inWait[NRECV];     /* waiting and not yet woken */
byte spuriousLeft = SPURIOUS;
bool deadlinePassed;    /* of the timed receiver */

/* ---- ghosts ------------------------------------------------------------------ */
byte msgState[NMSG + 1];
bool inReceive[NRECV];  /* between the first test and the return */
bool eventSeen[NRECV];  /* a shutdown or the delete happened meanwhile */
mtype result[NRECV] = PENDING;

inline lock() {
    atomic { !locked -> locked = 1 };
    assert(!freed)
}

inline unlock() {
    locked = 0
}

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

inline markEvent() {
    eventSeen[0] = eventSeen[0] || inReceive[0];
    eventSeen[1] = eventSeen[1] || inReceive[1];
    eventSeen[2] = eventSeen[2] || inReceive[2]
}

/* Drops one reference; the last one frees the channel. */
inline release() {
    atomic {
        refs--;
        if
        :: refs == 0 ->
            assert(!locked);
            assert(!inWait[0] && !inWait[1] && !inWait[2]);
            assert(!inReceive[0] && !inReceive[1] && !inReceive[2]);
            assert(count == 0);
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
        m = 0;
        head++;
        count--;
        result[i] = RECEIVED;
        done = 1
    :: !deleted && !SHUT_DOWN_MEANWHILE && !MAY_TAKE && timed && deadlinePassed ->
        result[i] = TIMED_OUT;
        done = 1
    :: !deleted && !SHUT_DOWN_MEANWHILE && !MAY_TAKE && !(timed && deadlinePassed) ->
        waiters++;
        inWait[i] = 1               /* the wait releases the mutex below */
    fi;
    if
    :: done -> inReceive[i] = 0
    :: else -> skip
    fi;
    unlock()
}

proctype Receiver(byte i; bool timed) {
    byte epoch0;
    byte m;
    bool waited;
    bool done;

    if
    :: timed -> if :: deadlinePassed = 1 :: skip fi   /* a timeout of 0 */
    :: else -> skip
    fi;
    atomic {
        lock();
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
    :: else ->
end_waiting:
        if
        :: atomic {
            !inWait[i] && !locked -> locked = 1;   /* woken, takes the mutex again */
            assert(!freed);
            waiters--;
            waited = 1;
            testOrWait()
          }
        :: atomic { inWait[i] && spuriousLeft > 0 -> spuriousLeft--; inWait[i] = 0 }
        :: atomic { inWait[i] && timed -> inWait[i] = 0; deadlinePassed = 1 }
        fi
    od;
    release()
}

/* Adds up to NMSG messages, any number of them. */
proctype Producer() {
    byte m = 1;
    do
    :: m <= NMSG ->
        atomic {
            lock();
            if
            :: deleted -> msgState[m] = FREED   /* freed, nothing queued */
            :: else ->
                queue[tail] = m;
                tail++;
                count++;
                msgState[m] = QUEUED;
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

proctype Controller() {
    byte ops;
    do
    :: ops < CONTROL_OPS ->
        atomic {
            lock();
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
            :: shutdownFlag = 0                 /* startup */
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
    :: deleted = 1;                          /* after unlinking from the registry */
        atomic {
            lock();
            markEvent();
            do
            :: head < tail -> msgState[queue[head]] = FREED; head++
            :: else -> break
            od;
            count = 0;
            broadcast();
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
    for (i : 0 .. NRECV - 1) {
        assert(!inWait[i] || count == 0);   /* blocked with a message queued */
        assert(!inWait[i] || !eventSeen[i]);/* a shutdown or delete did not release it */
        assert(inWait[i] || result[i] != PENDING)
    }
    for (m : 1 .. NMSG) {
        assert(msgState[m] != QUEUED || !deleted)
    }
}

init {
    atomic {
        run Receiver(0, 0);
        run Receiver(1, 0);
        run Receiver(TIMED_RECEIVER, 1);
        run Producer();
        run Controller();
        run Deleter();
        run Final()
    }
}
