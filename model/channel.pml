/*
 * The translater hand-off as the program does it (CTranslater in
 * src/ctranslater.cpp; TranslaterThread, ClientThread and the driver's stop in
 * src/main.cpp), for spin to check exhaustively. Run it with model/check.
 *
 * Threads: NT translaters, NC clients, the driver (init) and, per translater,
 * what wakes its thread besides a signal (Wakeups). A mutex is a test-and-set
 * that blocks while taken. A condition variable is the state of its one
 * waiter, so a signal while no waiter is blocked is lost, as
 * pthread_cond_signal's is.
 *
 * What is left out or narrowed, and why that is sound:
 *  - The one-second timed wait in JobFinished: its deadline can pass at ANY
 *    moment while the thread waits, and whenever every other thread is idle.
 *    That covers a spurious wake-up, a deadline at any point and every lost
 *    signal, not only the timings a real second allows.
 *  - Pop's untimed wait wakes by a signal, and SPURIOUS times in a run on its
 *    own (a spurious wake-up, which Pop must survive by testing again). Not
 *    more: unbounded spurious wake-ups would hide a lost wake-up in Pop, which
 *    must show up as a deadlock.
 *  - Critical sections: each stretch from taking a channel's mutex (or from
 *    being woken and taking it again) to releasing it (or to the next wait) is
 *    one atomic step. Inside it a thread touches only what that mutex guards
 *    plus at most one action another thread can see (a signal, or reading
 *    g_done). Taking a lock commutes with other threads' later steps and
 *    releasing it with their earlier ones, so running the stretch as one step
 *    loses no outcome and no deadlock of the statement-by-statement model
 *    (Lipton's reduction). -DFINE runs the statement-by-statement model: many
 *    more states, the same verdicts.
 *  - Delay: a finite busy spin with no shared effect; interleaving already lets
 *    any thread stall for any length of time at any point.
 *  - rand: a job's length (1..100) becomes a choice of 1 or 2, made at the
 *    first push (no other thread can see it earlier); a letter becomes a tag
 *    (client, position) so the checks can tell whose character came out and
 *    in what order. The channel never looks at a letter's value: only NUL is
 *    special, and a letter is never NUL. Two letters cover a Pop that finds
 *    the next letter queued as well as one that must wait for it.
 *  - The console lock and the output: the lock is held only around one line,
 *    never across a channel call, a wait or a join, so it can take no part in
 *    a deadlock; the lines and SwapCase touch no channel state.
 *  - Start-up: the driver starts every thread at once, so every order of their
 *    first steps is explored (the program's pauses between client starts only
 *    narrow that). Joining in creation order is one wait for all of them: the
 *    driver does nothing between two joins.
 *  - g_done: a shared bit, read and written in single steps, as the program's
 *    sequentially consistent std::atomic<bool> is.
 *  - Sizes: 2 translaters and 3 clients, so a client finds both busy, a client
 *    falls through to translater 1, and a released translater is claimed
 *    again. Failure exits and destruction are not modelled.
 *
 * Checked: the assertions below, and that no run ends with a thread still
 * blocked (pan's invalid end states). With -DLIVE and pan -l: every run ends.
 * In that run a deadline passes on its own only while every other thread is
 * idle (a second is long against their work), or EARLY times per translater
 * at any moment, so a cycle is a thread waiting out deadlines forever while
 * nothing else can move: a hang, not merely an unfair schedule.
 *
 * Variants that must fail, to show that the checks bite:
 *  -DLITERAL        the thread tests g_done at the top of its job loop and
 *                   leaves on it alone, even with a claimed job queued.
 *  -DCLEAR_ON_START the first JobFinished clears the claim too, dropping one
 *                   that a client took while the thread was starting.
 */

#ifndef NT
#define NT 2
#endif
#ifndef NC
#define NC 3
#endif
#ifndef EARLY
#define EARLY 0
#endif
#ifndef SPURIOUS
#define SPURIOUS 1
#endif
#define MAXLEN 2
/* room for every character of every client, so Push never blocks (std::queue) */
#define QCAP (NC * (MAXLEN + 1))
#define NONE 255

/* the condition variable, as its one waiter stands */
#define NO_WAITER 0
#define BLOCKED 1   /* in pthread_cond_wait */
#define TIMED 2     /* in pthread_cond_timedwait */
#define WOKEN 3     /* woken by a signal or a deadline, not yet running */

#ifdef FINE
#define SECTION
#else
#define SECTION atomic
#endif

/* the channels */
byte mtx[NT];        /* m_mutex: 0 = free, else the holder's _pid + 1 */
byte cv[NT];         /* m_cond */
bool occupied[NT];   /* m_occupied */
chan q[NT] = [QCAP] of { byte, byte, bool };  /* m_queue: client, position, is NUL */

bool done;           /* g_done */
byte clients_ended;  /* the driver's joins */
byte translaters_left;
byte spurious_left = SPURIOUS;

/* ghost state for the checks */
byte owner[NT];      /* client whose job is alive there: from its claim until its NUL is taken */
bool claimed_one[NC];
bool served[NC];     /* the client's NUL came out of its translater's queue */

inline Lock(t) {
    atomic { mtx[t] == 0 -> mtx[t] = _pid + 1 }
}

inline Unlock(t) {
    assert(mtx[t] == _pid + 1);
    mtx[t] = 0
}

/* pthread_cond_signal with the mutex held: wakes the waiter if one is
   blocked; with none, the signal is lost */
inline Signal(t) {
    assert(mtx[t] == _pid + 1);
    if
    :: cv[t] == BLOCKED || cv[t] == TIMED -> cv[t] = WOKEN
    :: else -> skip
    fi
}

/* The first half of pthread_cond_wait and _timedwait, with the mutex held:
   release it and block, in one step. The second half (woken: take the mutex
   again) starts the next section of the caller, whose first statement is the
   wake-up it waits for. */
inline WaitEnter(t, how) {
    assert(mtx[t] == _pid + 1);
    cv[t] = how;
    mtx[t] = 0;
    waiting = true
}

inline Woken(t) {
    cv[t] = NO_WAITER;
    waiting = false;
    Lock(t)
}

inline TryToOccupy(t, got, c) {
    SECTION {
        Lock(t);
        if
        :: !occupied[t] ->
            occupied[t] = true;
            got = true;
            /* at most one client holds a translater at a time */
            assert(owner[t] == NONE);
            owner[t] = c;
            claimed_one[c] = true;
            printf("MSC: client %d claims translater %d\n", c, t)
        :: else -> skip
        fi;
        Unlock(t)
    }
}

inline Push(t, c, pos, nul) {
    SECTION {
        Lock(t);
        q[t]!c, pos, nul;
        if
        :: nul -> printf("MSC: client %d pushes NUL to translater %d\n", c, t)
        :: else -> printf("MSC: client %d pushes letter %d to translater %d\n", c, pos, t)
        fi;
        Signal(t);
        Unlock(t)
    }
}

/* Pop's test, with the mutex held: takes the oldest character, checking
   that it belongs to the job being served and comes in order, or waits */
inline PopOrWait(t, count, nul) {
    if
    :: len(q[t]) > 0 ->
        q[t]?who, pos, nul;
        /* the character belongs to the client holding the claim ... */
        assert(who == owner[t]);
        /* ... and comes out in the order it was pushed */
        assert(pos == count);
        if
        :: nul ->
            printf("MSC: translater %d takes client %d's NUL\n", t, who);
            served[who] = true;
            owner[t] = NONE
        :: else -> printf("MSC: translater %d takes client %d's letter %d\n", t, who, pos)
        fi;
        who = 0;
        pos = 0;
        Unlock(t)
    :: else -> WaitEnter(t, BLOCKED)
    fi
}

/* lock; while (m_queue.empty()) wait; take; unlock. Each pass of the loop is
   one section: it starts by taking the mutex, or by being woken and taking
   it again, and ends with a character taken or in the wait. */
inline Pop(t, count, nul) {
    do
    :: SECTION {
           (!waiting || cv[t] == WOKEN) ->
           if
           :: waiting -> Woken(t)
           :: else -> Lock(t)
           fi;
           PopOrWait(t, count, nul);
           if
           :: !waiting -> break
           :: else -> skip
           fi
       }
    od
}

/* JobFinished's loop test, with the mutex held: returns claimed, or waits
   (the one-second timed wait) */
inline ClaimedOrWait(t, claimed) {
    if
    :: occupied[t] ->
        claimed = true;
        printf("MSC: translater %d: JobFinished returns 1 (done %d)\n", t, done);
        Unlock(t)
    :: else -> WaitEnter(t, TIMED)
    fi
}

/* lock; release unless first; while (!m_occupied) { timed wait; if (g_done)
   break; } return m_occupied. One section per pass, as in Pop. */
inline JobFinished(t, claimed) {
    do
    :: SECTION {
           /* entering, or woken by a signal or the deadline, or the deadline
              passes while every other thread is idle */
           (!waiting || cv[t] == WOKEN || timeout) ->
           if
           :: !waiting ->
               Lock(t);
#ifdef CLEAR_ON_START
               occupied[t] = false;
#else
               /* the first call keeps a claim taken while the thread was starting */
               if
               :: started -> occupied[t] = false
               :: else -> skip
               fi;
#endif
               started = true;
               printf("MSC: translater %d enters JobFinished, claimed %d\n", t, occupied[t]);
               ClaimedOrWait(t, claimed)
           :: else ->
               Woken(t);
               if
               :: done ->
                   claimed = occupied[t];
                   printf("MSC: translater %d: JobFinished returns %d (done 1)\n", t, claimed);
                   Unlock(t)
               :: else -> ClaimedOrWait(t, claimed)
               fi
           fi;
           if
           :: !waiting -> break
           :: else -> skip
           fi
       }
    od
}

inline CondSignal(t) {
    SECTION {
        Lock(t);
        printf("MSC: driver signals translater %d\n", t);
        Signal(t);
        Unlock(t)
    }
}

/* TranslateJob: Pop up to the NUL */
inline ServeJob(t) {
    do
    :: Pop(t, count, nul);
       if
       :: nul -> break
       :: else -> count++
       fi
    od;
    count = 0;
    nul = false
}

proctype Translater(byte t) {
    bool started;  /* m_started: only this thread reads or writes it */
    bool claimed;
    bool waiting;  /* in a wait on m_cond */
    bool nul;
    byte count, who, pos;

    JobFinished(t, claimed);
#ifdef LITERAL
    do
    :: done -> break
    :: else -> ServeJob(t); JobFinished(t, claimed)
    od;
#else
    do
    :: claimed -> ServeJob(t); JobFinished(t, claimed)
    :: else -> break
    od;
#endif
    atomic {
        printf("MSC: translater %d leaves with %d characters queued\n", t, len(q[t]));
        /* a translater leaves only after the stop ... */
        assert(done);
        /* ... and never with a claimed job untranslated */
        assert(owner[t] == NONE && len(q[t]) == 0);
        translaters_left++
    }
}

/* What wakes translater t's thread besides a signal: the deadline of its
   timed wait, which can pass at any moment (with -DLIVE only EARLY times),
   and a spurious wake-up of its untimed wait in Pop (SPURIOUS of them in all
   the run, shared by the translaters). */
proctype Wakeups(byte t) {
#ifdef LIVE
    byte early;
#endif
end:
    do
    :: atomic {
#ifdef LIVE
           early < EARLY && cv[t] == TIMED ->
           early++;
#else
           cv[t] == TIMED ->
#endif
           cv[t] = WOKEN;
           printf("MSC: deadline of translater %d passes\n", t)
       }
    :: atomic {
           spurious_left > 0 && cv[t] == BLOCKED ->
           spurious_left--;
           cv[t] = WOKEN;
           printf("MSC: translater %d wakes spuriously in Pop\n", t)
       }
    od
}

proctype Client(byte c) {
    byte length, t, i;
    bool got;

    /* ClaimTranslater: one pass, lowest index first, no waiting */
    do
    :: t < NT ->
        TryToOccupy(t, got, c);
        if
        :: got -> break
        :: else -> t++
        fi
    :: else -> break
    od;
    if
    :: got ->
        /* the job length: the program draws it first, but no other thread
           can see it before the first Push */
        if
        :: length = 1
        :: length = 2
        fi;
        do
        :: i < length -> Push(t, c, i, false); i++
        :: else -> break
        od;
        Push(t, c, length, true)
    :: else -> printf("MSC: client %d finds every translater busy\n", c)
    fi;
    /* the thread ends: its locals no longer tell states apart */
    atomic { length = 0; t = 0; i = 0; got = false; clients_ended++ }
}

init {
    byte i;

    atomic {
        do
        :: i < NT -> owner[i] = NONE; run Translater(i); run Wakeups(i); i++
        :: else -> break
        od;
        i = 0;
        do
        :: i < NC -> run Client(i); i++
        :: else -> break
        od;
        i = 0
    }
    /* JoinAll(g_client_threads) */
    clients_ended == NC;
    atomic { done = true; printf("MSC: driver: all clients joined, sets done\n") }
    do
    :: i < NT -> CondSignal(i); i++
    :: else -> break
    od;
    i = 0;
    /* JoinAll(g_translater_threads) */
    translaters_left == NT;
    /* every client that claimed a translater had its job translated to the end */
    do
    :: i < NC -> assert(!claimed_one[i] || served[i]); i++
    :: else -> break
    od
}
