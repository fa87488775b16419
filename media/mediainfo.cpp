#include "media/mediainfo.h"

namespace {

// A long-running server meets many files that will not read; past this many the list starts
// again (a file on it costs one more attempt, nothing else).
constexpr int unreadableLimit = 10000;

} // namespace

MediaInfo::MediaInfo(MediaCache &cache, DetailsSource &source, QObject *parent)
    : QObject(parent)
    , cache(cache)
    , source(source)
{
    connect(&source, &DetailsSource::probed, this, &MediaInfo::probed);
    connect(&cache, &MediaCache::loaded, this, &MediaInfo::cacheLoaded);
}

void MediaInfo::cacheLoaded()
{
    ++answers;
    // What was queued while the cache was read may be known now.
    const QList<QString> queuedFiles = wanted.keys();
    for (const QString &path : queuedFiles) {
        if (running.contains(path))
            continue;
        const MediaCache::Answer cached = cache.lookUp(path, wanted.value(path));
        if (cached.state != MediaCache::State::Unknown) {
            wanted.remove(path);
            if (cached.state == MediaCache::State::Known)
                emit known(path, cached.details);
            settle(path);
        }
    }
    pump();
}

MediaInfo::Answer MediaInfo::details(const QString &path)
{
    return details(path, MediaStamp::of(path));
}

MediaInfo::Answer MediaInfo::details(const QString &path, const MediaStamp &stamp)
{
    Answer answer;
    answer.status = statusFor(path, stamp, &answer);
    if (answer.status == Status::Pending)
        enqueue(path, stamp, false);
    return answer;
}

MediaInfo::Status MediaInfo::statusFor(const QString &path, const MediaStamp &stamp, Answer *answer)
{
    if (!stamp.isValid())
        return Status::None;
    MediaCache::Answer cached = cache.lookUp(path, stamp);
    switch (cached.state) {
    case MediaCache::State::Known:
        answer->details = std::move(cached.details);
        answer->hasThumbnail = cached.hasThumbnail;
        return Status::Known;
    case MediaCache::State::GaveUp:
        return Status::None;
    case MediaCache::State::Unknown:
        break;
    }
    const auto it = unreadable.constFind(path);
    if (it != unreadable.constEnd() && *it == stamp)
        return Status::None;
    return Status::Pending;
}

QByteArray MediaInfo::thumbnail(const QString &path)
{
    return cache.thumbnail(path, MediaStamp::of(path));
}

void MediaInfo::whenKnown(const QStringList &paths, int waitMs, QObject *context, Ready ready)
{
    Waiter waiter;
    waiter.context = context;
    waiter.guarded = context != nullptr;
    // The page's files go first, in the page's order, ahead of a page asked for earlier.
    for (auto it = paths.crbegin(); it != paths.crend(); ++it) {
        Answer answer;
        const MediaStamp stamp = MediaStamp::of(*it);
        if (statusFor(*it, stamp, &answer) != Status::Pending)
            continue;
        enqueue(*it, stamp, true);
        waiter.waitingFor.insert(*it);
    }
    waiter.ready = std::move(ready);
    waiter.timer = new QTimer(this);
    waiter.timer->setSingleShot(true);
    // A coarse timer may end the wait 5 % early, while the page could still be read.
    waiter.timer->setTimerType(Qt::PreciseTimer);
    waiters.push_back(std::move(waiter));
    const auto added = std::prev(waiters.end());
    connect(added->timer, &QTimer::timeout, this, [this, added] { finish(added); });
    // With nothing to wait for, the timer still brings the answer from the event loop.
    added->timer->start(added->waitingFor.isEmpty() ? 0 : qMax(0, waitMs));
}

void MediaInfo::enqueue(const QString &path, const MediaStamp &stamp, bool isUrgent)
{
    const auto known = wanted.constFind(path);
    const bool queuedAlready = known != wanted.constEnd() && *known == stamp;
    wanted.insert(path, stamp);
    // A file queued in the background that a client now waits for is queued again up front;
    // the later copy finds it done and is passed over.
    if (isUrgent)
        urgent.push_front(path);
    else if (!queuedAlready)
        background.push_back(path);
    if (!pumpQueued) {
        pumpQueued = true;
        // Never inside the caller's request: the source starts from the event loop.
        QMetaObject::invokeMethod(this, &MediaInfo::pump, Qt::QueuedConnection);
    }
}

void MediaInfo::pump()
{
    pumpQueued = false;
    // Nothing is read before the cache says what it knows.
    if (!cache.isLoaded())
        return;
    while (running.size() < inFlightLimit && (!urgent.empty() || !background.empty())) {
        const bool isUrgent = !urgent.empty();
        std::deque<QString> &queue = isUrgent ? urgent : background;
        const QString path = queue.front();
        queue.pop_front();
        // Done already, or being read: a file that changed while read is queued again then.
        const auto it = wanted.constFind(path);
        if (it == wanted.constEnd() || running.contains(path))
            continue;
        running.insert(path, *it);
        source.probe(path, isUrgent);
    }
}

void MediaInfo::probed(
    const QString &path, const MediaDetails &details, DetailsSource::Outcome outcome)
{
    const auto run = running.constFind(path);
    if (run == running.constEnd())
        return;
    const MediaStamp stamp = *run;
    running.erase(run);
    ++answers;
    switch (outcome) {
    case DetailsSource::Outcome::Read:
        cache.store(path, stamp, details);
        break;
    case DetailsSource::Outcome::GaveUp:
        cache.storeGaveUp(path, stamp);
        break;
    case DetailsSource::Outcome::Unreadable:
        if (unreadable.size() >= unreadableLimit)
            unreadable.clear();
        unreadable.insert(path, stamp);
        break;
    }
    if (wanted.value(path) == stamp) {
        wanted.remove(path);
        if (outcome == DetailsSource::Outcome::Read)
            emit known(path, details);
        settle(path);
    } else {
        // Asked for again as it changed while it was read: read it again, first if awaited.
        bool awaited = false;
        for (const Waiter &waiter : waiters)
            awaited = awaited || waiter.waitingFor.contains(path);
        (awaited ? urgent : background).push_front(path);
    }
    pump();
}

void MediaInfo::settle(const QString &path)
{
    for (auto it = waiters.begin(); it != waiters.end();) {
        const auto next = std::next(it);
        if (it->waitingFor.remove(path) && it->waitingFor.isEmpty())
            finish(it);
        it = next;
    }
}

void MediaInfo::finish(std::list<Waiter>::iterator waiter)
{
    const bool guarded = waiter->guarded;
    const QPointer<QObject> context = waiter->context;
    const Ready ready = std::move(waiter->ready);
    // Stopped first: a timer only deleted later could still fire for an erased waiter.
    waiter->timer->stop();
    waiter->timer->deleteLater();
    waiters.erase(waiter);
    if (ready && (!guarded || context))
        ready();
}
