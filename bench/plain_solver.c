/* The solver's rules in plain C: one function per step, one loop per region. */
#include "plain_solver.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  int32_t rows, cols, phases, slice;
  double penalty;
  float threshold2, w4, w3, w2;
  const float* costs;
  float *u, *dx, *dy, *bx, *by, *outerPrev, *multiplier;
} Plain;

static float approxSqrtPlain(float x) {
  int32_t bits;
  uint32_t estimate;
  float y, half;
  memcpy(&bits, &x, sizeof bits);
  estimate = 0x5f3759dfu - (uint32_t)(bits >> 1);
  memcpy(&y, &estimate, sizeof y);
  half = 0.5f * x;
  y = y * (1.5f - (half * y) * y);
  y = y * (1.5f - (half * y) * y);
  return y * x;
}

/* x and y terms of element q; the parts beyond the grid's left or top edge are dropped. */
static double xTermAt(const Plain* s, int32_t q, int hasLeft) {
  const double here = (double)s->dx[q] - (double)s->bx[q];
  return hasLeft ? ((double)s->dx[q - s->rows] - (double)s->bx[q - s->rows]) - here : -here;
}
static double yTermAt(const Plain* s, int32_t q, int hasUp) {
  const double here = (double)s->dy[q] - (double)s->by[q];
  return hasUp ? ((double)s->dy[q - 1] - (double)s->by[q - 1]) - here : -here;
}

static void normalise(Plain* s, int32_t p, double sum) {
  const double d = sum - 1.0;
  int32_t k;
  if (!(d > 1e-6 || d < -1e-6)) return;
  if (sum < 0x1p-126) { /* the stored values no longer match the summed ones */
    sum = 0.0;
    for (k = 0; k < s->phases; ++k) sum = sum + (double)s->u[p + s->slice * k];
  }
  for (k = 0; k < s->phases; ++k) {
    float* v = &s->u[p + s->slice * k];
    *v = sum != 0.0 ? (float)((double)*v / sum) : (float)(1.0 / (double)s->phases);
  }
}

/* One boundary pixel with the neighbours the flags name. */
static void updatePixel(Plain* s, int32_t p, int up, int down, int left, int right) {
  const int n = up + down + left + right;
  const double c = n == 4 ? 0.25 : n == 3 ? (double)(1.0f / 3.0f) : 0.5;
  const double w = n == 4 ? s->w4 : n == 3 ? s->w3 : s->w2;
  double acc = 0.0, sum = 0.0, m;
  int32_t k;
  for (k = 0; k < s->phases; ++k) {
    const int32_t q = p + s->slice * k;
    acc = acc + ((s->penalty * xTermAt(s, q, left) + s->penalty * yTermAt(s, q, up)) -
                 (double)s->costs[q]);
  }
  s->multiplier[p] = (float)(acc / (double)s->phases);
  m = (double)s->multiplier[p];
  for (k = 0; k < s->phases; ++k) {
    const int32_t q = p + s->slice * k;
    double S = xTermAt(s, q, left) + yTermAt(s, q, up), v;
    if (right) S = S + (double)s->u[q + s->rows];
    if (down) S = S + (double)s->u[q + 1];
    if (left) S = S + (double)s->u[q - s->rows];
    if (up) S = S + (double)s->u[q - 1];
    v = c * S - (m + (double)s->costs[q]) * w;
    if (v > 1.0) v = 1.0; else if (v < 0.0) v = 0.0;
    sum = sum + v;
    s->u[q] = (float)v;
  }
  normalise(s, p, sum);
}

/* The interior, where every pixel has four neighbours: the flags are constants. */
static void sweepInterior(Plain* s) {
  const int32_t M = s->rows, S = s->slice, K = s->phases;
  const double pen = s->penalty, w = s->w4;
  int32_t i, j, k;
  for (j = 1; j < s->cols - 1; ++j) {
    for (i = 1; i < M - 1; ++i) {
      const int32_t p = i + M * j;
      double acc = 0.0, sum = 0.0, m;
      for (k = 0; k < K; ++k) {
        const int32_t q = p + S * k;
        const double X = xTermAt(s, q, 1);
        const double Y = yTermAt(s, q, 1);
        acc = acc + ((pen * X + pen * Y) - (double)s->costs[q]);
      }
      s->multiplier[p] = (float)(acc / (double)K);
      m = (double)s->multiplier[p];
      for (k = 0; k < K; ++k) {
        const int32_t q = p + S * k;
        const double X = xTermAt(s, q, 1);
        const double Y = yTermAt(s, q, 1);
        double v = X + Y;
        v = v + (double)s->u[q + M];
        v = v + (double)s->u[q + 1];
        v = v + (double)s->u[q - M];
        v = v + (double)s->u[q - 1];
        v = 0.25 * v - (m + (double)s->costs[q]) * w;
        if (v > 1.0) v = 1.0; else if (v < 0.0) v = 0.0;
        sum = sum + v;
        s->u[q] = (float)v;
      }
      normalise(s, p, sum);
    }
  }
}

static void labelSweepPlain(Plain* s) {
  const int32_t M = s->rows, N = s->cols;
  int32_t i, j;
  sweepInterior(s);
  for (i = 1; i < M - 1; ++i) updatePixel(s, i, 1, 1, 0, 1);
  for (i = 1; i < M - 1; ++i) updatePixel(s, i + M * (N - 1), 1, 1, 1, 0);
  for (j = 1; j < N - 1; ++j) updatePixel(s, M * j, 0, 1, 1, 1);
  for (j = 1; j < N - 1; ++j) updatePixel(s, M - 1 + M * j, 1, 0, 1, 1);
  updatePixel(s, 0, 0, 1, 0, 1);
  updatePixel(s, M * (N - 1), 0, 1, 1, 0);
  updatePixel(s, M - 1, 1, 0, 0, 1);
  updatePixel(s, M - 1 + M * (N - 1), 1, 0, 1, 0);
}

static void shrinkElement(Plain* s, int32_t q, float gx, float gy, float t) {
  const float vx = s->bx[q] + gx, vy = s->by[q] + gy;
  const float len2 = vx * vx + vy * vy;
  float dx = 0.0f, dy = 0.0f;
  if (!(len2 < s->threshold2) && len2 != 0.0f) {
    const float r = approxSqrtPlain(len2);
    const float f = (r - t) / r;
    dx = vx * f;
    dy = vy * f;
  }
  s->dx[q] = dx;
  s->dy[q] = dy;
  s->bx[q] = s->bx[q] + (gx - dx);
  s->by[q] = s->by[q] + (gy - dy);
}

static void shrinkPlain(Plain* s) {
  const int32_t M = s->rows, N = s->cols;
  const float t = approxSqrtPlain(s->threshold2);
  const float* u = s->u;
  int32_t i, j, k;
  for (k = 0; k < s->phases; ++k) {
    for (j = 0; j < N; ++j) {
      const int32_t top = M * j + s->slice * k;
      const int hasRight = j < N - 1;
      for (i = 0; i < M - 1; ++i) {
        const int32_t q = top + i;
        shrinkElement(s, q, hasRight ? u[q + M] - u[q] : 0.0f, u[q + 1] - u[q], t);
      }
      shrinkElement(s, top + M - 1, hasRight ? u[top + M - 1 + M] - u[top + M - 1] : 0.0f, 0.0f,
                    t);
    }
  }
}

static float changeMeasure(const Plain* s) {
  double P = 0.0, Q = 0.0, D = 0.0;
  const int32_t n = s->slice * s->phases;
  int32_t e;
  for (e = 0; e < n; ++e) {
    const double o = (double)s->outerPrev[e], v = (double)s->u[e], diff = v - o;
    P = P + o * o;
    Q = Q + v * v;
    D = D + diff * diff;
  }
  return (float)(D / (P * Q));
}

int32_t plainSolve(int32_t rows, int32_t cols, int32_t phases, float tvWeight, float penalty,
                   const float* costs, float* u) {
  Plain s;
  const size_t volume = (size_t)rows * (size_t)cols * (size_t)phases;
  const double q = (double)tvWeight / (double)penalty;
  float measure = 1e11f, previousMeasure = 1e10f;
  int32_t iterations = 0;
  s.rows = rows;
  s.cols = cols;
  s.phases = phases;
  s.slice = rows * cols;
  s.penalty = (double)penalty;
  s.threshold2 = (float)(q * q);
  s.w4 = (float)(1.0 / (4.0 * (double)penalty));
  s.w3 = (float)(1.0 / (3.0 * (double)penalty));
  s.w2 = (float)(1.0 / (2.0 * (double)penalty));
  s.costs = costs;
  s.u = u;
  s.dx = calloc(volume, sizeof(float));
  s.dy = calloc(volume, sizeof(float));
  s.bx = calloc(volume, sizeof(float));
  s.by = calloc(volume, sizeof(float));
  s.outerPrev = calloc(volume, sizeof(float));
  s.multiplier = calloc((size_t)s.slice, sizeof(float));
  if (s.dx && s.dy && s.bx && s.by && s.outerPrev && s.multiplier) {
    while (fabs((double)measure - (double)previousMeasure) > (double)1e-6f && iterations < 5) {
      memcpy(s.outerPrev, s.u, volume * sizeof(float));
      labelSweepPlain(&s);
      labelSweepPlain(&s);
      shrinkPlain(&s);
      ++iterations;
      previousMeasure = measure;
      measure = changeMeasure(&s);
    }
  } else {
    iterations = -1;
  }
  free(s.dx);
  free(s.dy);
  free(s.bx);
  free(s.by);
  free(s.outerPrev);
  free(s.multiplier);
  return iterations;
}
