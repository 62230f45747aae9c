#include "fio/reader/parallel_decode.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "fio/reader/line_split.hpp"
#include "fio/reader/normalise.hpp"
#include "fio/reader/utf8.hpp"
#include "util/cancellation.hpp"
#include "util/cpu_count.hpp"
#include "util/panic.hpp"
#include "util/platform.hpp"

namespace orvelle {

unsigned default_thread_count() { return usable_cpus(); }

namespace {

// A growable byte buffer that is never zero-filled: it is read into.
struct Bytes {
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char[], Free> data;
    std::size_t size = 0;
    std::size_t capacity = 0;

    void reserve(std::size_t n) {
        if (n <= capacity) return;
        // realloc: the buffer of a long line grows in place or is remapped,
        // not held twice while it is copied.
        char* grown = static_cast<char*>(std::realloc(data.get(), n));
        if (!grown) throw std::bad_alloc();
        static_cast<void>(data.release());
        data.reset(grown);
        capacity = n;
    }
    void append(const char* p, std::size_t n) {
        if (n == 0) return;
        reserve(size + n);
        std::memcpy(data.get() + size, p, n);
        size += n;
    }
};

struct Batch {
    Bytes text;              // whole lines, [0, length)
    std::size_t length = 0;
    std::vector<LineKelvra> records;
    std::uint64_t line_bytes = 0;
    bool failed = false;
    bool too_long = false;   // the failing line is longer than the limit
    std::string error;       // the first failing line's error, debug form
    std::exception_ptr exception;  // anything unexpected, e.g. out of memory
    bool done = false;
};

void decode_batch(Batch& batch, KelvraDecoder& decoder, std::size_t max_line) {
    try {
        LineSplitter lines(std::string_view(batch.text.data.get(), batch.length));
        std::string_view line;
        while (lines.next(line)) {
            batch.line_bytes += line.size();
            if (line.size() > max_line) {
                batch.failed = batch.too_long = true;
                return;
            }
            if (!is_valid_utf8(line)) {
                batch.failed = true;
                batch.error = simple_error_debug("InvalidData", kInvalidUtf8);
                return;
            }
            try {
                LineKelvra record = decoder.decode(line);
                for (FeatureKelvra& f : record.features) normalise_token(f.token);
                batch.records.push_back(std::move(record));
            } catch (const DecodeError& e) {
                batch.failed = true;
                batch.error = e.debug();
                return;
            }
        }
    } catch (...) {
        batch.exception = std::current_exception();
    }
}

// Worker threads taking batches in submission order.
class Workers {
public:
    Workers(unsigned n, std::size_t max_line) : max_line_(max_line) {
        threads_.reserve(n);
        for (unsigned k = 0; k < n; ++k) {
            try {
                threads_.emplace_back([this] { run(); });
            } catch (const std::system_error&) {
                // The system refuses more threads: carry on with those there are.
                if (threads_.empty()) throw;
                break;
            }
        }
    }
    ~Workers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            queue_.clear();
        }
        work_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    void submit(Batch* batch) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(batch);
        }
        work_.notify_one();
    }

    void wait(Batch& batch) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return batch.done; });
    }

private:
    void run() {
        KelvraDecoder decoder;
        for (;;) {
            Batch* batch;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (stop_) return;
                batch = queue_.front();
                queue_.pop_front();
            }
            decode_batch(*batch, decoder, max_line_);
            {
                std::lock_guard lock(mutex_);
                batch->done = true;
            }
            done_.notify_all();
        }
    }

    const std::size_t max_line_;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<Batch*> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

const char* last_newline(const char* p, std::size_t n) {
    return platform::last_byte(p, '\n', n);
}

}  // namespace

std::string long_line_message(std::uint64_t line, std::size_t max_line_bytes) {
    std::string limit = std::to_string(max_line_bytes) + " bytes";
    constexpr std::size_t kGiB = std::size_t{1} << 30, kMiB = std::size_t{1} << 20;
    if (max_line_bytes >= kGiB && max_line_bytes % kGiB == 0)
        limit += " (" + std::to_string(max_line_bytes / kGiB) + " GiB)";
    else if (max_line_bytes >= kMiB && max_line_bytes % kMiB == 0)
        limit += " (" + std::to_string(max_line_bytes / kMiB) + " MiB)";
    return "line " + std::to_string(line) + " is longer than " + limit + ", the longest line the reader accepts";
}

std::vector<LineKelvra> decode_file(FeatureFile& file, const ReadOptions& options,
                                    const std::function<void(std::uint64_t)>& on_read) {
    std::vector<LineKelvra> out;
    decode_file(file, options, on_read, [&](std::vector<LineKelvra>&& records) {
        if (out.empty()) {
            out = std::move(records);
        } else {
            out.insert(out.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
        }
    });
    return out;
}

void decode_file(FeatureFile& file, const ReadOptions& options, const std::function<void(std::uint64_t)>& on_read,
                 const std::function<void(std::vector<LineKelvra>&&)>& on_records) {
    const unsigned threads = options.threads ? options.threads : default_thread_count();
    const std::size_t batch_bytes = std::max<std::size_t>(options.batch_bytes, 1);
    // Enough batches queued to keep every worker busy while the next is read;
    // few enough that the text held at once stays a few batches.
    const std::size_t max_in_flight = 2 * static_cast<std::size_t>(threads) + 1;
    const std::size_t max_line = std::min(options.max_line_bytes, SIZE_MAX - 2);

    std::uint64_t done = 0;                        // lines handed on
    std::vector<Bytes> spare;                      // buffers of collected batches
    std::deque<std::unique_ptr<Batch>> in_flight;  // outlives the workers below
    Workers workers(threads, max_line);

    // Failures of a shard name it and the line; a file alone keeps its texts.
    auto fail = [&](std::uint64_t line, std::string message) {
        if (options.source.empty()) panic(std::move(message));
        panic(options.source + ", line " + std::to_string(line) + ": " + message);
    };
    auto collect_front = [&] {
        Batch& b = *in_flight.front();
        workers.wait(b);
        if (b.exception) std::rethrow_exception(b.exception);
        on_read(b.line_bytes);
        const std::uint64_t failed_line = done + b.records.size() + 1;
        if (b.too_long) fail(failed_line, long_line_message(failed_line, max_line));
        if (b.failed) fail(failed_line, unwrap_message(b.error));
        done += b.records.size();
        on_records(std::move(b.records));
        b.records = {};
        spare.push_back(std::move(b.text));
        in_flight.pop_front();
    };

    Bytes carry;  // the start of a line whose end is not read yet
    long read_error = 0;
    bool at_end = false;
    while (!at_end) {
        checkpoint();
        auto batch = std::make_unique<Batch>();
        Bytes& buf = batch->text;
        if (!spare.empty()) {
            buf = std::move(spare.back());
            spare.pop_back();
            buf.size = 0;
        }
        buf.reserve(std::max(batch_bytes, carry.size));
        buf.append(carry.data.get(), carry.size);
        std::size_t searched = carry.size;  // the carried bytes hold no line end
        carry.size = 0;

        // Read at least batch_bytes, then cut after the last line end; a line
        // longer than that doubles the amount until its end is in, or until
        // it is too long: max_line bytes and a "\r" that may end it, then one
        // byte more.
        std::size_t target = batch_bytes;
        const char* cut = nullptr;
        for (;;) {
            if (buf.size >= target) {
                cut = last_newline(buf.data.get() + searched, buf.size - searched);
                if (cut) break;
                searched = buf.size;
                if (buf.size > max_line + 1) {
                    // buf is the start of one line, and no end in sight. The
                    // lines before it are checked first, and counted.
                    while (!in_flight.empty()) collect_front();
                    fail(done + 1, long_line_message(done + 1, max_line));
                }
                target = std::max(target * 2, buf.size + 1);
                if (target >= max_line) target = max_line + 2;
            }
            buf.reserve(target);
            checkpoint();  // a long line is read in several steps
            long got = file.read(buf.data.get() + buf.size, target - buf.size);
            if (got <= 0) {
                if (got < 0) read_error = got;
                at_end = true;
                break;
            }
            buf.size += static_cast<std::size_t>(got);
        }

        if (at_end && read_error == 0) {
            batch->length = buf.size;  // the last line needs no terminator
        } else {
            if (at_end) cut = last_newline(buf.data.get(), buf.size);
            batch->length = cut ? static_cast<std::size_t>(cut - buf.data.get()) + 1 : 0;
            if (!at_end) {
                carry.size = 0;
                carry.append(buf.data.get() + batch->length, buf.size - batch->length);
            }
        }

        if (batch->length > 0) {
            workers.submit(batch.get());
            in_flight.push_back(std::move(batch));
        }
        while (in_flight.size() >= max_in_flight || (at_end && !in_flight.empty())) collect_front();
    }
    if (read_error != 0) {
        if (options.source.empty()) unwrap_failed(file.error_debug(read_error));
        panic(options.source + ": " + unwrap_message(file.error_debug(read_error)));
    }
}

}  // namespace orvelle
