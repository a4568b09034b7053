// floor.cpp: the planner's algorithm in plain C++ with linear scans, the floor tarn is timed
// against.
//
// Built by run.py and run as: floor RUNS REPEATS STEP_SIZE MAX_ITERATIONS, with the start, goal,
// boundaries and obstacles on standard input as numbers (start x y, goal x y, width height, count,
// then x y per obstacle). Draws come from tarn's own generator; every sample is tested against
// every obstacle and compared with every node, with the distance written as the planner defines
// it. Prints the median CPU seconds per run over REPEATS batches of RUNS runs, and the mean node
// count.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "planning/random.hpp"

namespace {

using Point = std::array<double, 2>;
using tarn::planning::Rng;
using tarn::planning::sample_below;

struct Problem {
    Point start, goal, boundaries;
    std::vector<Point> obstacles;
    double step_size;
    unsigned long long max_iterations;
};

struct Result {
    std::vector<Point> nodes;
    std::vector<std::vector<std::size_t>> adjacency;
};

double distance(const Point& a, const Point& b) {
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    return std::sqrt(dx * dx + dy * dy);
}

Result plan(const Problem& p, Rng& rng) {
    Result tree{{p.start}, {{}}};
    for (unsigned long long accepted = 0; accepted < p.max_iterations;) {
        const double x = sample_below(rng, p.boundaries[0]);
        const Point sample{x, sample_below(rng, p.boundaries[1])};
        if (std::any_of(p.obstacles.begin(), p.obstacles.end(),
                        [&](const Point& o) { return distance(o, sample) < 1.0; })) {
            continue;
        }
        std::size_t nearest = 0;
        double best = distance(tree.nodes[0], sample);
        for (std::size_t i = 1; i < tree.nodes.size(); ++i) {
            const double d = distance(tree.nodes[i], sample);
            if (d < best) {
                best = d;
                nearest = i;
            }
        }
        tree.nodes.push_back(sample);
        tree.adjacency.emplace_back();
        tree.adjacency[nearest].push_back(tree.nodes.size() - 1);
        if (p.step_size > distance(sample, p.goal)) {
            tree.adjacency.back().push_back(tree.nodes.size());
            tree.nodes.push_back(p.goal);
            tree.adjacency.emplace_back();
            break;
        }
        ++accepted;
    }
    return tree;
}

double cpu_seconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: floor RUNS REPEATS STEP_SIZE MAX_ITERATIONS < problem\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]), repeats = std::atoi(argv[2]);
    Problem problem{};
    problem.step_size = std::atof(argv[3]);
    problem.max_iterations = std::strtoull(argv[4], nullptr, 10);
    std::size_t count = 0;
    if (std::scanf("%lf %lf %lf %lf %lf %lf %zu", &problem.start[0], &problem.start[1],
                   &problem.goal[0], &problem.goal[1], &problem.boundaries[0],
                   &problem.boundaries[1], &count) != 7) {
        return 2;
    }
    problem.obstacles.resize(count);
    for (Point& o : problem.obstacles) {
        if (std::scanf("%lf %lf", &o[0], &o[1]) != 2) return 2;
    }
    Rng& rng = tarn::planning::thread_rng();
    std::vector<double> per_run;
    std::size_t nodes = 0;
    for (int r = 0; r < repeats; ++r) {
        const double began = cpu_seconds();
        for (int i = 0; i < runs; ++i) nodes += plan(problem, rng).nodes.size();
        per_run.push_back((cpu_seconds() - began) / runs);
    }
    std::sort(per_run.begin(), per_run.end());
    std::printf("%.9g %.1f\n", per_run[per_run.size() / 2], double(nodes) / (runs * repeats));
    return 0;
}
