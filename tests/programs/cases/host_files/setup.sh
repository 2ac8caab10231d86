#!/usr/bin/env bash
mkdir -p out
