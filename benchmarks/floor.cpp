// floor.cpp: the planner's algorithm in plain C++ with linear scans, the floor tarn is timed
// against.
//
// Built by run.py and run as: floor RUNS REPEATS STEP_SIZE MAX_ITERATIONS, with the start, goal,
// boundaries and obstacles on standard input as numbers (start x y, goal x y, width height, count,
// then x y per obstacle). The planner is the native tests' scan oracle (tests/native/
// scan_oracles.hpp), drawing from tarn's own generator: every sample is tested against every
// obstacle and compared with every node. Prints the median CPU seconds per run over REPEATS
// batches of RUNS runs, and the mean node count.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "planning/planner.hpp"
#include "planning/random.hpp"
#include "scan_oracles.hpp"

namespace {

double cpu_seconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

bool read_point(tarn::FloatVector& point) {
    point.assign(2, 0.0);
    return std::scanf("%lf %lf", &point[0], &point[1]) == 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: floor RUNS REPEATS STEP_SIZE MAX_ITERATIONS < problem\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]), repeats = std::atoi(argv[2]);
    tarn::planning::PlannerInput problem{};
    problem.step_size = std::atof(argv[3]);
    problem.max_iterations = std::strtoull(argv[4], nullptr, 10);
    std::size_t count = 0;
    if (!read_point(problem.start) || !read_point(problem.goal) ||
        !read_point(problem.boundaries) || std::scanf("%zu", &count) != 1) {
        return 2;
    }
    for (std::size_t i = 0; i < count; ++i) {
        tarn::FloatVector obstacle;
        if (!read_point(obstacle)) return 2;
        problem.obstacles.push_back(obstacle);
    }
    tarn::planning::Rng& rng = tarn::planning::thread_rng();
    std::vector<double> per_run;
    std::size_t nodes = 0;
    for (int r = 0; r < repeats; ++r) {
        const double began = cpu_seconds();
        for (int i = 0; i < runs; ++i) {
            nodes += oracle::plan_by_scans(problem, rng, tarn::planning::max_consecutive_rejections)
                         .nodes.size();
        }
        per_run.push_back((cpu_seconds() - began) / runs);
    }
    std::sort(per_run.begin(), per_run.end());
    std::printf("%.9g %.1f\n", per_run[per_run.size() / 2], double(nodes) / (runs * repeats));
    return 0;
}
