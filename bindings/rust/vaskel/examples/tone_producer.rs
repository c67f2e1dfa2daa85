//! A producer in Rust over the `vaskel` crate: it publishes a tone per stream into the region
//! <region-name>, closes its streams, waits for the renderer's verdict and removes the region.
//! Start vaskel_renderer with the same name, before or after this program:
//!
//!     cargo run --example tone_producer -- my-render 4 96000 &
//!     vaskel_renderer my-render /tmp/my-render
//!
//! The tone is the C example's (examples/c/tone_producer.c): a triangle wave computed in
//! integers, stream s at 220 + 110 * (s mod 16) Hz, channel 0 at amplitude 0.5, channel 1 at
//! 0.25, so every sample is an exact float. Exit codes as the C example's: 0 complete, 1 an
//! error, 4 the capture failed.
use std::process::ExitCode;
use std::time::{Duration, Instant};

use vaskel::{Config, Error, Producer};

const CHANNELS: u32 = 2;
const SAMPLE_RATE: u64 = 48000;
const FRAMES_PER_WRITE: u64 = 4800; // 100 ms of every stream per round
const STEP: Duration = Duration::from_millis(100);
const PATIENCE: Duration = Duration::from_secs(30); // without progress: the renderer is not coming

fn tone_sample(stream: u32, frame: u64, channel: u32) -> f32 {
    let frequency = 220 + 110 * u64::from(stream % 16);
    let phase = (frame * frequency) % SAMPLE_RATE * 65536 / SAMPLE_RATE; // 0..65535
    let level = if phase < 32768 {
        phase as i64 - 16384
    } else {
        49151 - phase as i64
    };
    level as f32 / if channel == 0 { 32768.0 } else { 65536.0 }
}

/// Writes every frame, a step at a time, giving up after PATIENCE without progress.
fn write_all(producer: &mut Producer, stream: u32, mut samples: &[f32]) -> Result<(), Error> {
    let mut progress = Instant::now();
    while !samples.is_empty() {
        match producer.write(stream, samples, STEP) {
            Ok(_) => return Ok(()),
            Err(Error::Timeout { frames_written }) => {
                samples = &samples[(frames_written * u64::from(CHANNELS)) as usize..];
                if frames_written > 0 {
                    progress = Instant::now();
                } else if progress.elapsed() > PATIENCE {
                    return Err(Error::Timeout { frames_written });
                }
            }
            Err(other) => return Err(other),
        }
    }
    Ok(())
}

fn run(producer: &mut Producer, streams: u32, frames: u64) -> Result<(), Error> {
    let mut samples = Vec::with_capacity((FRAMES_PER_WRITE * u64::from(CHANNELS)) as usize);
    for first in (0..frames).step_by(FRAMES_PER_WRITE as usize) {
        let count = FRAMES_PER_WRITE.min(frames - first);
        for stream in 0..streams {
            samples.clear();
            for frame in first..first + count {
                for channel in 0..CHANNELS {
                    samples.push(tone_sample(stream, frame, channel));
                }
            }
            write_all(producer, stream, &samples)?;
        }
    }
    for stream in 0..streams {
        producer.close_stream(stream)?; // after its last write
    }
    producer.wait(PATIENCE)
}

fn main() -> ExitCode {
    let args: Vec<String> = std::env::args().skip(1).collect();
    if args.is_empty() || args.len() > 3 {
        eprintln!("usage: tone_producer <region-name> [streams (2)] [frames (48000)]");
        return ExitCode::from(1);
    }
    let number =
        |index: usize, default: u64| args.get(index).map_or(Ok(default), |word| word.parse());
    let (streams, frames) = match (number(1, 2), number(2, 48000)) {
        (Ok(streams), Ok(frames)) if streams <= u64::from(u32::MAX) => (streams as u32, frames),
        _ => {
            eprintln!("tone_producer: the stream and frame counts are numbers");
            return ExitCode::from(1);
        }
    };
    let config = Config {
        stream_count: streams,
        slots_per_stream: 16,
        frames_per_chunk: 1024,
        channel_count: CHANNELS,
        sample_rate: SAMPLE_RATE as u32,
        logical_start_frame: 0,
        logical_end_frame: frames, // the renderer checks every stream reaches it
    };
    let mut producer = match Producer::create(&args[0], &config) {
        Ok(producer) => producer,
        Err(error) => {
            eprintln!("tone_producer: cannot create the region: {}", error);
            return ExitCode::from(1);
        }
    };
    match run(&mut producer, streams, frames) {
        Ok(()) => {
            println!("capture complete: {} streams of {} frames", streams, frames);
            ExitCode::SUCCESS
        }
        Err(error) => {
            match error.failure_name() {
                Some(name) => eprintln!("{}", name),
                None => eprintln!("tone_producer: {}", error),
            }
            ExitCode::from(if error.failure_name().is_some() { 4 } else { 1 })
        }
    }
}
