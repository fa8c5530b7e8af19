// inkmask-batch's job written with Leptonica, for scripts/bench-batch.sh to
// time against the program in the same run, like bench/opencv_job.py.
//
//   bench_leptonica_job [-j N] --output-dir DIR --mask-dir DIR INPUT...
//
// For each input: read it (pixRead, which goes by content), NB with the
// thresholds 180,180,180, bouchtrou and affine (bench/leptonica_chain.h),
// then write the painted picture and the mask (black = ink) as PNG with
// pixWrite's defaults, named after the input as inkmask-batch names them.
// -j N does N files at a time, one a thread.

#include "bench/leptonica_chain.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string outputName(const std::string &folder, const std::string &path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (const size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
        name.resize(dot);
    return folder + "/" + name + ".png";
}

// Empty when done, else what failed.
std::string job(const std::string &path, const std::string &pictures, const std::string &masks) {
    PIX *read = pixRead(path.c_str());
    if (!read)
        return path + ": cannot read it";
    PIX *colour = pixConvertTo32(read);
    pixDestroy(&read);
    if (!colour || pixGetWidth(colour) < 8 || pixGetHeight(colour) < 8) {
        pixDestroy(&colour);
        return path + ": not a picture of at least 8 x 8 this job takes";
    }
    lepchain::Chain chain(colour, 180);
    chain.threshold();
    chain.holeFill();
    chain.spurRemoval();
    PIX *painted = chain.paintedPix(true);
    PIX *mask = chain.maskPix();
    std::string problem;
    if (pixWrite(outputName(pictures, path).c_str(), painted, IFF_PNG) != 0)
        problem = path + ": cannot write its picture";
    else if (pixWrite(outputName(masks, path).c_str(), mask, IFF_PNG) != 0)
        problem = path + ": cannot write its mask";
    pixDestroy(&painted);
    pixDestroy(&mask);
    return problem;
}

}  // namespace

int main(int argc, char *argv[]) {
    int jobs = 1;
    std::string pictures, masks;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-j" && i + 1 < argc)
            jobs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--output-dir" && i + 1 < argc)
            pictures = argv[++i];
        else if (a == "--mask-dir" && i + 1 < argc)
            masks = argv[++i];
        else
            inputs.push_back(a);
    }
    if (pictures.empty() || masks.empty() || inputs.empty()) {
        std::fprintf(
            stderr, "usage: bench_leptonica_job [-j N] --output-dir DIR --mask-dir DIR INPUT...\n");
        return 2;
    }
    setMsgSeverity(L_SEVERITY_ERROR);
    std::atomic<size_t> next{0};
    std::atomic<int> failed{0};
    const auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < inputs.size();) {
            const std::string problem = job(inputs[i], pictures, masks);
            if (!problem.empty()) {
                std::fprintf(stderr, "bench_leptonica_job: %s\n", problem.c_str());
                failed.fetch_add(1);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < jobs; ++t)
        threads.emplace_back(work);
    work();
    for (std::thread &t : threads)
        t.join();
    return failed.load() ? 1 : 0;
}
